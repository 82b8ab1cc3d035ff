// PatternIndex: an open-addressing hash table from a case-folded key to the
// first SigningTable line that filed it.
//
// Built once by the loader (insert in file order keeps the first line for a
// repeated key), then read-only and safe for concurrent lookups. Keys are
// borrowed: they must outlive the index (they point into the table text the
// SigningConfig owns). insert throws std::bad_alloc; the loader catches it.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

namespace quellsig {

inline constexpr std::uint32_t kNoLine = UINT32_MAX;

class PatternIndex {
 public:
  void insert(std::string_view key, std::uint32_t line);
  // The line filed under the concatenation of pieces, or kNoLine.
  std::uint32_t find(std::initializer_list<std::string_view> pieces) const;
  bool empty() const { return count_ == 0; }

 private:
  struct Slot {
    std::uint64_t hash = 0;
    std::string_view key;
    std::uint32_t line = kNoLine;  // kNoLine marks a free slot
  };
  void grow();

  std::vector<Slot> slots_;
  std::size_t count_ = 0;
};

}  // namespace quellsig
