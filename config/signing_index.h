// SigningIndex: finds the first SigningTable line (in file order) whose
// pattern matches a sender, without scanning the table.
//
// build() files each pattern, in file order, into the index of its kind; a
// repeated key keeps its first line. firstMatch() probes the indexes for the
// address, its domain and each parent suffix of the domain, and returns the
// smallest matching line or kNoLine; the result equals a file-order scan
// with patternMatches(). L@*.D lines are hashed like the other kinds rather
// than walked as a list, so the cost depends on the number of labels in the
// sender's domain, never on the size of the table.
//
// Patterns are borrowed and must outlive the index. build() throws
// std::bad_alloc. After build the index is read-only and any number of
// threads may call firstMatch() at once.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "config/pattern_index.h"
#include "config/sender_pattern.h"

namespace quellsig {

class SigningIndex {
 public:
  void build(std::span<const std::string_view> patterns);
  std::uint32_t firstMatch(std::string_view address) const;

 private:
  PatternIndex exact_;       // L@D by the address
  PatternIndex domain_;      // D and *@D by the domain
  PatternIndex below_;       // *@.D and *@*.D by D
  PatternIndex local_dot_;   // L@.D by the pattern text
  PatternIndex bare_dot_;    // .D by the pattern text
  PatternIndex local_any_;   // L@* by the pattern text
  PatternIndex local_star_;  // L@*.D by the pattern text
  std::uint32_t catch_all_ = kNoLine;
  std::uint32_t every_address_ = kNoLine;
};

}  // namespace quellsig
