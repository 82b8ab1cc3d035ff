#include "config/pattern_index.h"

#include "config/ascii_fold.h"

namespace quellsig {

void PatternIndex::grow() {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(old.empty() ? 16 : old.size() * 2, Slot{});
  const std::size_t mask = slots_.size() - 1;
  for (const Slot& s : old) {
    if (s.line == kNoLine) continue;
    std::size_t i = s.hash & mask;
    while (slots_[i].line != kNoLine) i = (i + 1) & mask;
    slots_[i] = s;
  }
}

void PatternIndex::insert(std::string_view key, std::uint32_t line) {
  // At most half full, so probe runs stay short.
  if ((count_ + 1) * 2 > slots_.size()) grow();
  const std::uint64_t hash = foldedHash({key});
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = hash & mask;
  while (slots_[i].line != kNoLine) {
    if (slots_[i].hash == hash && equalsIgnoringAsciiCase(slots_[i].key, key)) return;
    i = (i + 1) & mask;
  }
  slots_[i] = Slot{hash, key, line};
  ++count_;
}

std::uint32_t PatternIndex::find(std::initializer_list<std::string_view> pieces) const {
  if (count_ == 0) return kNoLine;
  const std::uint64_t hash = foldedHash(pieces);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash & mask; slots_[i].line != kNoLine; i = (i + 1) & mask) {
    if (slots_[i].hash == hash && equalsPiecesIgnoringAsciiCase(slots_[i].key, pieces)) {
      return slots_[i].line;
    }
  }
  return kNoLine;
}

}  // namespace quellsig
