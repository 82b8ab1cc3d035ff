// quellsig-genkey: makes an RSA or Ed25519 key pair, writes the private key to
// a new file (mode 0600) and the key record to a new ".dns" file (mode 0644)
// beside it. Existing files are never replaced: both are created exclusively.
//
// runGenkey takes the arguments after the program name and returns the exit
// status: 0 on success and for -h, 2 after a "quellsig-genkey: <message>"
// line on `err`, 1 after an "error: <name>" line for an internal failure.
// `out` receives the usage text or, only when everything succeeded, the three
// result lines. Single-threaded.
#pragma once

#include <optional>
#include <ostream>
#include <span>
#include <string_view>

namespace quellsig {

int runGenkey(std::span<const std::string_view> args, std::ostream& out, std::ostream& err);

// The -b rule: a signed 32-bit decimal number with an optional sign and
// single underscores between digits.
std::optional<int> parseBits(std::string_view text);

}  // namespace quellsig
