#include "config/value_grammar.h"

#include <array>
#include <limits>

#include "config/ascii_fold.h"

namespace quellsig {
namespace {

bool isLineSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}
bool isBlank(char c) { return c == ' ' || c == '\t'; }

template <typename Pred>
std::string_view trimWith(std::string_view s, Pred pred) {
  while (!s.empty() && pred(s.front())) s.remove_prefix(1);
  while (!s.empty() && pred(s.back())) s.remove_suffix(1);
  return s;
}

int digitValue(char c, unsigned base) {
  if (c < '0' || c > '9') return -1;
  int d = c - '0';
  return static_cast<unsigned>(d) < base ? d : -1;
}

// Digits with inner underscores; nullopt on any other byte, on a leading or
// trailing underscore, or when the value exceeds max.
std::optional<std::uint64_t> parseDigits(std::string_view s, std::uint64_t max, unsigned base) {
  if (s.empty() || s.front() == '_' || s.back() == '_') return std::nullopt;
  std::uint64_t value = 0;
  for (char c : s) {
    if (c == '_') continue;
    int d = digitValue(c, base);
    if (d < 0) return std::nullopt;
    if (value > (max - static_cast<std::uint64_t>(d)) / base) return std::nullopt;
    value = value * base + static_cast<std::uint64_t>(d);
  }
  return value;
}

// The digits after a sign: the sign is the value's first character, so an
// underscore may follow it directly ("+_2048").
std::string_view afterSign(std::string_view v) {
  v.remove_prefix(1);
  while (!v.empty() && v.front() == '_') v.remove_prefix(1);
  return v;
}

}  // namespace

std::string_view trimLine(std::string_view s) { return trimWith(s, isLineSpace); }
std::string_view trimBlanks(std::string_view s) { return trimWith(s, isBlank); }

std::string_view withoutByteOrderMark(std::string_view text) {
  constexpr std::string_view kMark = "\xEF\xBB\xBF";
  if (text.starts_with(kMark)) text.remove_prefix(kMark.size());
  return text;
}

std::optional<bool> parseBoolean(std::string_view v) {
  for (std::string_view t : {"yes", "true", "1"}) {
    if (equalsIgnoringAsciiCase(v, t)) return true;
  }
  for (std::string_view f : {"no", "false", "0"}) {
    if (equalsIgnoringAsciiCase(v, f)) return false;
  }
  return std::nullopt;
}

std::optional<std::uint64_t> parseUnsigned(std::string_view v, std::uint64_t max, unsigned base) {
  if (!v.empty() && v.front() == '-') {
    auto magnitude = parseDigits(afterSign(v), std::numeric_limits<std::uint64_t>::max(), base);
    if (magnitude && *magnitude == 0) return 0;
    return std::nullopt;
  }
  if (!v.empty() && v.front() == '+') v = afterSign(v);
  return parseDigits(v, max, base);
}

std::optional<std::int64_t> parseSigned(std::string_view v) {
  constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (!v.empty() && v.front() == '-') {
    auto magnitude = parseDigits(afterSign(v), kMax + 1, 10);
    if (!magnitude) return std::nullopt;
    if (*magnitude == kMax + 1) return std::numeric_limits<std::int64_t>::min();
    return -static_cast<std::int64_t>(*magnitude);
  }
  auto value = parseUnsigned(v, kMax);
  if (!value) return std::nullopt;
  return static_cast<std::int64_t>(*value);
}

std::optional<std::uint64_t> parseSize(std::string_view v) {
  v = trimBlanks(v);
  if (v.size() >= 2 && (v.back() == 'b' || v.back() == 'B')) v.remove_suffix(1);
  std::uint64_t multiplier = 1;
  if (!v.empty()) {
    switch (v.back()) {
      case 'K':
      case 'k':
        multiplier = 1024;
        break;
      case 'M':
      case 'm':
        multiplier = 1024 * 1024;
        break;
      case 'G':
      case 'g':
        multiplier = 1024 * 1024 * 1024;
        break;
      default:
        break;
    }
    if (multiplier != 1) v.remove_suffix(1);
  }
  auto n = parseUnsigned(trimBlanks(v), std::numeric_limits<std::uint64_t>::max());
  if (!n || *n > std::numeric_limits<std::uint64_t>::max() / multiplier) return std::nullopt;
  return *n * multiplier;
}

std::uint8_t facilityFromName(std::string_view v) {
  struct Facility {
    std::string_view name;
    std::uint8_t number;
  };
  static constexpr std::array<Facility, 11> kFacilities{{
      {"mail", 2},
      {"daemon", 3},
      {"auth", 4},
      {"local0", 16},
      {"local1", 17},
      {"local2", 18},
      {"local3", 19},
      {"local4", 20},
      {"local5", 21},
      {"local6", 22},
      {"local7", 23},
  }};
  for (const auto& f : kFacilities) {
    if (equalsIgnoringAsciiCase(v, f.name)) return f.number;
  }
  return 2;
}

std::uint8_t levelFromName(std::string_view v) {
  if (equalsIgnoringAsciiCase(v, "err") || equalsIgnoringAsciiCase(v, "error")) return 3;
  if (equalsIgnoringAsciiCase(v, "warn") || equalsIgnoringAsciiCase(v, "warning")) return 4;
  if (equalsIgnoringAsciiCase(v, "debug")) return 7;
  return 6;
}

std::vector<std::string_view> splitList(std::string_view v) {
  std::vector<std::string_view> out;
  for (;;) {
    auto comma = v.find(',');
    auto piece = trimBlanks(v.substr(0, comma));
    if (!piece.empty()) out.push_back(piece);
    if (comma == std::string_view::npos) break;
    v.remove_prefix(comma + 1);
  }
  return out;
}

}  // namespace quellsig
