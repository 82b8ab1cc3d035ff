// quellsig-testkey: compares the key record published for a selector with the
// public half of a local private key.
//
// runTestkey parses `args` (without the program name), looks the record up
// through the KeyLookup that `make_lookup` builds for the -n/-p nameserver,
// and writes results to `out` and diagnostics to `err`. It returns the exit
// status: 0 match or help, 1 mismatch or internal error, 2 usage errors and
// fatal conditions. It never modifies a file. Runs on the calling thread.
#pragma once

#include <cstdint>
#include <ostream>
#include <span>
#include <string_view>

#include "engine/key_lookup.h"
#include "platform/error.h"

namespace quellsig {

struct TestkeyOptions {
  bool help = false;
  std::string_view selector;
  std::string_view domain;
  std::string_view key_path;
  std::string_view nameserver = "127.0.0.1";
  std::uint16_t port = 53;
};

// The options, or the message of the first usage error.
std::expected<TestkeyOptions, std::string_view> parseTestkeyArgs(
    std::span<const std::string_view> args);

int runTestkey(std::span<const std::string_view> args, const KeyLookupFactory& make_lookup,
               std::ostream& out, std::ostream& err);

}  // namespace quellsig
