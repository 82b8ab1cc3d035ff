// ASCII case folding for the configuration (sender patterns, domains and
// keyword values): comparison and the FNV-1a 64-bit hash over folded bytes.
// Only A-Z fold; other bytes compare exactly. Pure functions; any thread may
// call them.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>

namespace quellsig {

constexpr char foldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b);

// Case-insensitive FNV-1a over the concatenation of the pieces, so that a
// probe such as local + "@." + suffix needs no temporary string.
std::uint64_t foldedHash(std::initializer_list<std::string_view> pieces);

// True when key equals the concatenation of pieces, ignoring ASCII case.
bool equalsPiecesIgnoringAsciiCase(std::string_view key,
                                   std::initializer_list<std::string_view> pieces);

}  // namespace quellsig
