// quellsig-check: verifies every DKIM-Signature of one message file and prints
// key=value results.
//
// parseCheckArgs reads the arguments (without the program name) in order and
// returns the options or the message of the first usage error. runCheck runs
// the whole tool: it writes results to `out`, errors to `err` and returns the
// exit status (0 for any verdict and for help, 2 for usage and input errors,
// 1 for a runtime error). The KeyLookup comes from `make_lookup` for the -n/-p
// nameserver. Runs on the calling thread.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "engine/key_lookup.h"
#include "engine/verification.h"

namespace quellsig {

struct CheckOptions {
  bool help = false;
  std::string_view file;
  std::string_view nameserver = "127.0.0.1";
  std::uint16_t port = 53;
  std::optional<std::uint32_t> minimum_bits;
  std::uint8_t max_key_records = 3;
  std::int64_t budget_ms = 20000;  // 0 disables the deadline
  bool refuse_body_length = false;
  bool normalize = true;
};

std::expected<CheckOptions, std::string> parseCheckArgs(std::span<const std::string_view> args);

// The key=value lines of signature n.
void printOutcome(std::ostream& out, std::size_t n, const VerificationOutcome& outcome);

int runCheck(std::span<const std::string_view> args, const KeyLookupFactory& make_lookup,
             std::ostream& out, std::ostream& err);

}  // namespace quellsig
