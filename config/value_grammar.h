// The value grammars of the configuration file.
//
// Every parser takes a value as the reader stored it (already trimmed) and
// returns std::nullopt when the text does not fit the grammar or the width;
// the caller decides whether that means the key's default or an error.
// Pure functions; any thread may call them.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace quellsig {

// The reader's trim set: space, tab, LF, CR, VT, FF at both ends.
std::string_view trimLine(std::string_view s);
// Spaces and tabs only.
std::string_view trimBlanks(std::string_view s);
// The text of a file without a leading UTF-8 byte-order mark, which editors
// add unseen and which would otherwise become part of the first line.
std::string_view withoutByteOrderMark(std::string_view text);

// "yes"/"true"/"1" and "no"/"false"/"0", ASCII case ignored.
std::optional<bool> parseBoolean(std::string_view v);

// Optional "+", then digits in the given base; underscores may stand anywhere
// between the first and last character (a sign is the first) and are ignored. "-" followed only by zeros is 0.
// Fails above max.
std::optional<std::uint64_t> parseUnsigned(std::string_view v, std::uint64_t max,
                                           unsigned base = 10);
// As parseUnsigned, but a leading "-" makes a negative value.
std::optional<std::int64_t> parseSigned(std::string_view v);
// A byte count with an optional "b"/"B" and "K", "M" or "G" multiplier:
// "10M", "10 MB", "512k", "2048".
std::optional<std::uint64_t> parseSize(std::string_view v);

// Syslog facility number: mail 2, daemon 3, auth 4, local0..local7 16..23;
// anything else is mail.
std::uint8_t facilityFromName(std::string_view v);
// Syslog severity: err/error 3, warn/warning 4, debug 7; anything else info 6.
std::uint8_t levelFromName(std::string_view v);

// Comma-separated list; pieces trimmed of blanks, empty pieces dropped.
std::vector<std::string_view> splitList(std::string_view v);

}  // namespace quellsig
