#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "config/sender_pattern.h"
#include "config/signing_index.h"

namespace quellsig {
namespace {

// A plain file-order scan with the pattern rules: what the index must equal.
std::uint32_t scanFirstMatch(const std::vector<std::string_view>& patterns,
                             std::string_view address) {
  const SenderAddress sender = splitSenderAddress(address);
  for (std::uint32_t i = 0; i < patterns.size(); ++i) {
    if (patternMatches(classifyPattern(patterns[i]), sender)) return i;
  }
  return kNoLine;
}

std::uint32_t indexFirstMatch(const std::vector<std::string_view>& patterns,
                              std::string_view address) {
  SigningIndex index;
  index.build(patterns);
  return index.firstMatch(address);
}

struct MatchCase {
  const char* name;
  std::string_view pattern;
  std::string_view sender;
  bool matches;
};

// Every row of the pattern table, each with senders on both sides of it.
const MatchCase kMatchCases[] = {
    {"catch-all, address", "*", "u@a.b", true},
    {"catch-all, no at sign", "*", "postmaster", true},
    {"exact address", "u@a.b", "u@a.b", true},
    {"exact address, case", "U@a.B", "u@A.b", true},
    {"exact address, other local part", "u@a.b", "v@a.b", false},
    {"exact address, subdomain", "u@a.b", "u@c.a.b", false},
    {"local dot domain, domain itself", "u@.a.b", "u@a.b", true},
    {"local dot domain, below", "u@.a.b", "u@c.d.a.b", true},
    {"local dot domain, other local", "u@.a.b", "v@c.a.b", false},
    {"local dot domain, suffix not at a dot", "u@.a.b", "u@xa.b", false},
    {"local star domain, domain itself", "u@*.a.b", "u@a.b", true},
    {"local star domain, below", "u@*.a.b", "U@C.A.B", true},
    {"local star domain, other local", "u@*.a.b", "v@c.a.b", false},
    {"local any domain", "u@*", "u@anything.example", true},
    {"local any domain, other local", "u@*", "v@a.b", false},
    {"domain", "*@a.b", "u@A.B", true},
    {"domain, subdomain", "*@a.b", "u@c.a.b", false},
    {"star dot domain, itself", "*@*.a.b", "u@a.b", true},
    {"star dot domain, below", "*@*.a.b", "u@c.a.b", true},
    {"dot domain, below", "*@.a.b", "u@c.d.a.b", true},
    {"dot domain, unrelated", "*@.a.b", "u@b", false},
    {"every address", "*@*", "u@a.b", true},
    {"every address, no at sign", "*@*", "postmaster", false},
    {"bare dot domain, itself", ".a.b", "u@a.b", true},
    {"bare dot domain, below", ".a.b", "u@c.d.a.b", true},
    {"bare dot domain, partial label", ".a.b", "u@ca.b", false},
    {"literal domain", "a.b", "u@A.b", true},
    {"literal domain, subdomain", "a.b", "u@c.a.b", false},
    {"star dot without at sign, the domain", "*.a.b", "u@a.b", false},
    {"star dot without at sign, a subdomain", "*.a.b", "u@c.d.a.b", false},
    {"star dot without at sign, spelled so", "*.a.b", "u@*.a.b", true},
    {"no at sign matches only catch-all", "a.b", "a.b", false},
    // Senders and patterns split at their first at sign.
    {"sender with two at signs, last domain", "*@a.b", "x@y@a.b", false},
    {"sender with two at signs, first domain", "*@y@a.b", "x@y@a.b", true},
    {"quoted local part holding an at sign", "*@a.b", "\"x@y\"@a.b", false},
    {"local part ends at the first at sign", "u@*", "u@v@a.b", true},
    {"pattern domain runs from its first at sign", "u@v@*", "u@v@a.b", false},
};

TEST(SenderPatternTest, EveryPatternKindMatchesItsSendersOnly) {
  for (const MatchCase& tc : kMatchCases) {
    SCOPED_TRACE(tc.name);
    EXPECT_EQ(patternMatches(classifyPattern(tc.pattern), splitSenderAddress(tc.sender)),
              tc.matches);
    // The index must agree on a one-line table.
    EXPECT_EQ(indexFirstMatch({tc.pattern}, tc.sender), tc.matches ? 0u : kNoLine);
  }
}

struct OrderCase {
  const char* name;
  std::vector<std::string_view> patterns;
  std::string_view sender;
  std::uint32_t want;
};

TEST(SigningIndexTest, FirstMatchInFileOrderWins) {
  const OrderCase cases[] = {
      {"catch-all on line 5 beats exact address on line 9",
       {"x@y", "y", ".y", "z@*", "*", "q@q", "r@r", "s@s", "u@a.b"},
       "u@a.b",
       4},
      {"repeated pattern keeps its first line", {"*@a.b", "*@a.b"}, "u@a.b", 0},
      {"repeated pattern in other case keeps its first line", {"*@A.B", "*@a.b"}, "u@a.b", 0},
      {"earlier general line beats later specific one", {".b", "u@a.b"}, "u@a.b", 0},
      {"later general line loses to earlier specific one", {"u@a.b", ".b"}, "u@a.b", 0},
      {"parent suffix found among several", {"*@*.x", "*@.c.d", "*@*.d"}, "u@a.b.c.d", 1},
      {"local star list stops before best", {"u@*.b", "*@a.b", "v@*.b"}, "v@a.b", 1},
      {"local star list finds a line before best", {"w@*.b", "v@*.a.b", "*@a.b"}, "v@a.b", 1},
      {"only local star lines", {"a@*.x", "b@*.y", "u@*.b"}, "u@a.b", 2},
      {"no match", {"*@x.y", "v@a.b", ".c"}, "u@a.b", kNoLine},
      {"every-address after exact", {"u@a.b", "*@*"}, "v@c", 1},
  };
  for (const OrderCase& tc : cases) {
    SCOPED_TRACE(tc.name);
    EXPECT_EQ(indexFirstMatch(tc.patterns, tc.sender), tc.want);
    EXPECT_EQ(scanFirstMatch(tc.patterns, tc.sender), tc.want);
  }
}

// Random tables of every pattern kind over a small alphabet of labels, so
// that patterns collide with each other and with the senders often.
TEST(SigningIndexTest, AgreesWithFileOrderScanOnRandomTables) {
  std::mt19937_64 rng(20240601);
  const std::vector<std::string> labels = {"a", "b", "C", "ex", "mail", "B"};
  const std::vector<std::string> locals = {"u", "U", "v", "*", "post", "u@b"};
  auto pick = [&](const std::vector<std::string>& v) { return v[rng() % v.size()]; };
  auto domain = [&] {
    std::string d = pick(labels);
    for (std::size_t n = rng() % 3; n > 0; --n) d = pick(labels) + "." + d;
    return d;
  };
  auto pattern = [&]() -> std::string {
    switch (rng() % 12) {
      case 0:
        return "*";
      case 1:
        return pick(locals) + "@" + domain();
      case 2:
        return pick(locals) + "@." + domain();
      case 3:
        return pick(locals) + "@*." + domain();
      case 4:
        return pick(locals) + "@*";
      case 5:
        return "*@*";
      case 6:
        return "." + domain();
      case 7:
        return "*." + domain();
      case 8:
        return "*@" + domain();
      default:
        return domain();
    }
  };
  for (int table = 0; table < 300; ++table) {
    std::vector<std::string> texts;
    for (std::size_t n = 1 + rng() % 40; n > 0; --n) texts.push_back(pattern());
    std::vector<std::string_view> patterns(texts.begin(), texts.end());
    SigningIndex index;
    index.build(patterns);
    for (int s = 0; s < 50; ++s) {
      std::string local = pick(locals);
      if (local == "*") local = "x";
      const std::string sender = (rng() % 20 == 0) ? domain() : local + "@" + domain();
      ASSERT_EQ(index.firstMatch(sender), scanFirstMatch(patterns, sender))
          << "table " << table << " sender " << sender;
    }
  }
}

}  // namespace
}  // namespace quellsig
