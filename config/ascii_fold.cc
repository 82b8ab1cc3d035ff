#include "config/ascii_fold.h"

namespace quellsig {

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  return equalsPiecesIgnoringAsciiCase(a, {b});
}

std::uint64_t foldedHash(std::initializer_list<std::string_view> pieces) {
  std::uint64_t h = 14695981039346656037ull;
  for (std::string_view piece : pieces) {
    for (char c : piece) {
      h ^= static_cast<std::uint8_t>(foldAscii(c));
      h *= 1099511628211ull;
    }
  }
  return h;
}

bool equalsPiecesIgnoringAsciiCase(std::string_view key,
                                   std::initializer_list<std::string_view> pieces) {
  std::size_t total = 0;
  for (std::string_view piece : pieces) total += piece.size();
  if (total != key.size()) return false;
  std::size_t at = 0;
  for (std::string_view piece : pieces) {
    for (char c : piece) {
      if (foldAscii(c) != foldAscii(key[at++])) return false;
    }
  }
  return true;
}

}  // namespace quellsig
