// The command-line options of a tool as one table.
//
// Each row names a flag, whether it takes a value, the text the tool prints
// when that value is missing, and what the option sets. parseOptionTable
// walks the arguments against the table: "-h" and "--help" stop the walk,
// an argument not starting with "-" goes to the tool's `positional` handler
// (without one it is an unknown option), anything else must be a row of the
// table. It never prints; the
// tool turns the OptionStop into its own texts and exit statuses. The stop
// borrows from the arguments and the table. Pure; any thread may call it.
#pragma once

#include <expected>
#include <optional>
#include <span>
#include <string_view>

namespace quellsig {

// What a setter or the positional handler returns: nothing, or the text of
// the refusal.
using OptionRefusal = std::optional<std::string_view>;

template <typename Options>
struct OptionRow {
  std::string_view flag;
  bool takes_value;
  std::string_view needs_value;  // printed when the value is missing
  OptionRefusal (*set)(Options&, std::string_view value);
};

// Setters for the plain rows: the value stored as it is in `Member`, or
// `Value` set in a member without a value.
template <auto Member>
OptionRefusal storeValue(auto& options, std::string_view value) {
  options.*Member = value;
  return std::nullopt;
}
template <auto Member, auto Value>
OptionRefusal setFlag(auto& options, std::string_view) {
  options.*Member = Value;
  return std::nullopt;
}

struct OptionStop {
  enum class Kind {
    Help,     // -h or --help
    Unknown,  // `argument` is no flag of the table
    Extra,    // the positional handler refused `argument`: one too many
    Refused,  // `text`: a missing value or a setter's refusal
  };
  Kind kind;
  std::string_view argument;
  std::string_view text;
};

// Takes a positional argument; false when there is no room for it.
template <typename Options>
using PositionalHandler = bool (*)(Options&, std::string_view);

template <typename Options>
std::expected<void, OptionStop> parseOptionTable(std::span<const std::string_view> args,
                                                 std::span<const OptionRow<Options>> table,
                                                 Options& options,
                                                 PositionalHandler<Options> positional = nullptr) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view a = args[i];
    if (a == "-h" || a == "--help")
      return std::unexpected(OptionStop{OptionStop::Kind::Help, a, {}});
    if (a.empty() || a.front() != '-') {
      if (positional == nullptr)
        return std::unexpected(OptionStop{OptionStop::Kind::Unknown, a, {}});
      if (!positional(options, a))
        return std::unexpected(OptionStop{OptionStop::Kind::Extra, a, {}});
      continue;
    }
    const OptionRow<Options>* row = nullptr;
    for (const OptionRow<Options>& r : table) {
      if (r.flag == a) row = &r;
    }
    if (row == nullptr) return std::unexpected(OptionStop{OptionStop::Kind::Unknown, a, {}});
    std::string_view value;
    if (row->takes_value) {
      if (i + 1 == args.size()) {
        return std::unexpected(OptionStop{OptionStop::Kind::Refused, a, row->needs_value});
      }
      value = args[++i];
    }
    if (OptionRefusal refused = row->set(options, value)) {
      return std::unexpected(OptionStop{OptionStop::Kind::Refused, a, *refused});
    }
  }
  return {};
}

}  // namespace quellsig
