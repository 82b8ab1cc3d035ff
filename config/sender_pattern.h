// SigningTable sender patterns: their kinds and the matching rule.
//
// Patterns and sender addresses are split at their first "@" into local part
// and domain, so a sender with a second "@" (a quoted local part holding one)
// is matched on everything after the first. Single-key mode is not: it takes
// the text after the last "@" (senderDomain). All comparisons ignore ASCII
// case. "D or below D" means equal to D or ending in "." followed by D.
//
// patternMatches is the reference rule; the SigningIndex must agree with a
// scan of it in file order. Pure functions; any thread may call them.
#pragma once

#include <string_view>

namespace quellsig {

enum class PatternKind {
  CatchAll,         // "*": every sender
  ExactAddress,     // L@D
  LocalDotDomain,   // L@.D: local part L, domain D or below
  LocalStarDomain,  // L@*.D: local part L, domain D or below
  LocalAnyDomain,   // L@*: local part L, any domain
  Domain,           // *@D
  DomainOrBelow,    // *@.D and *@*.D
  EveryAddress,     // *@*: every address holding "@"
  BareDotDomain,    // .D without "@": domain D or below
  LiteralDomain,    // D without "@": that domain spelled exactly so
};

struct SenderPattern {
  PatternKind kind = PatternKind::CatchAll;
  std::string_view local;   // L, for the kinds that name one
  std::string_view domain;  // D, for the kinds that name one
};

// Borrows from text.
SenderPattern classifyPattern(std::string_view text);

struct SenderAddress {
  std::string_view local;
  std::string_view domain;
  bool has_at = false;
};

// Borrows from address.
SenderAddress splitSenderAddress(std::string_view address);

// True when domain is d or lies below it ("x.d").
bool isDomainOrBelow(std::string_view domain, std::string_view d);

bool patternMatches(const SenderPattern& pattern, const SenderAddress& sender);

}  // namespace quellsig
