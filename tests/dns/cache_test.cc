#include "dns/cache.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/log_capture.h"

namespace quellsig {
namespace {

using Outcome = DnsCacheLookup::Outcome;

std::vector<DnsAnswerRecord> records(std::uint32_t ttl) {
  return {{"k._domainkey.example", "v=DKIM1; p=abc", ttl, kDnsTypeTxt}};
}

std::string key(std::string_view name) { return *DnsCache::makeKey(name); }

TEST(DnsCacheTest, KeyFoldsAsciiCaseOnly) {
  EXPECT_EQ(key("Sel._DomainKey.Example.COM"), "sel._domainkey.example.com:16");
  EXPECT_EQ(key("example."), "example.:16");  // trailing dot kept: a different key
  EXPECT_EQ(key("\xc3\x84"), "\xc3\x84:16");
}

TEST(DnsCacheTest, PositiveLifetimeIsSmallestTtlBounded) {
  struct Case {
    const char* name;
    std::vector<std::uint32_t> ttls;
    std::uint32_t want;
  } cases[] = {
      {"5 and 3600", {5, 3600}, 30},  {"one week", {604800}, 86400},     {"zero", {0}, 30},
      {"in range", {7200, 300}, 300}, {"all ones", {0xffffffff}, 86400},
  };
  for (const auto& tc : cases) {
    std::vector<DnsAnswerRecord> rs;
    for (auto t : tc.ttls) rs.push_back({"n", "d", t, 1});
    EXPECT_EQ(DnsCache::positiveLifetime(rs), tc.want) << tc.name;
  }
}

TEST(DnsCacheTest, HitsMissesAndLogLinesUseTheCallersSpelling) {
  testing::LogCapture log;
  ASSERT_TRUE(log.ok());
  DnsCache cache(10, 60);
  const std::int64_t now = 1000;

  EXPECT_EQ(cache.lookup(key("Sel.Example"), "Sel.Example", now).outcome, Outcome::Miss);
  ASSERT_TRUE(cache.storePositive(key("Sel.Example"), records(300), 300, now));
  auto hit = cache.lookup(key("sel.example"), "sel.example", now + 299);
  EXPECT_EQ(hit.outcome, Outcome::Positive);
  EXPECT_EQ(hit.records, records(300));
  EXPECT_EQ(cache.size(), 1u);
  // At the expiry second the entry is a miss but stays until evicted.
  EXPECT_EQ(cache.lookup(key("SEL.example"), "SEL.example", now + 300).outcome, Outcome::Miss);
  EXPECT_EQ(cache.size(), 1u);

  ASSERT_TRUE(cache.storeNegative(key("Gone.Example"), NegativeKind::Timeout, now));
  auto neg = cache.lookup(key("gone.example"), "Gone.example", now + 59);
  EXPECT_EQ(neg.outcome, Outcome::Negative);
  EXPECT_EQ(negativeKindError(neg.kind), Error::DnsTimeout);
  EXPECT_EQ(cache.lookup(key("gone.example"), "gone.example", now + 60).outcome, Outcome::Miss);

  EXPECT_EQ(log.messages(),
            (std::vector<std::string>{"dns: cache miss Sel.Example", "dns: cache hit sel.example",
                                      "dns: cache miss SEL.example",
                                      "dns: cache negative hit Gone.example kind=timeout",
                                      "dns: cache miss gone.example"}));
}

TEST(DnsCacheTest, NegativeLifetimeAndKinds) {
  struct Case {
    NegativeKind kind;
    const char* text;
    Error error;
  } cases[] = {
      {NegativeKind::NameError, "name_error", Error::DnsNameError},
      {NegativeKind::ServerFailure, "server_failure", Error::DnsServerFailure},
      {NegativeKind::Timeout, "timeout", Error::DnsTimeout},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.text);
    EXPECT_EQ(negativeKindText(tc.kind), tc.text);
    EXPECT_EQ(negativeKindError(tc.kind), tc.error);
    DnsCache cache(0, 0);  // defaults: 1000 entries, 60 s
    EXPECT_EQ(cache.capacity(), 1000u);
    ASSERT_TRUE(cache.storeNegative(key("n"), tc.kind, 100));
    EXPECT_EQ(cache.lookup(key("n"), "n", 159).kind, tc.kind);
    EXPECT_EQ(cache.lookup(key("n"), "n", 160).outcome, Outcome::Miss);
  }
  DnsCache short_lived(10, 5);
  ASSERT_TRUE(short_lived.storeNegative(key("n"), NegativeKind::NameError, 100));
  EXPECT_EQ(short_lived.lookup(key("n"), "n", 104).outcome, Outcome::Negative);
  EXPECT_EQ(short_lived.lookup(key("n"), "n", 105).outcome, Outcome::Miss);
}

TEST(DnsCacheTest, EvictionOrder) {
  using Keys = std::vector<std::string>;
  const std::int64_t t = 1000;
  {
    SCOPED_TRACE("nothing expired: the oldest goes");
    DnsCache c(2, 60);
    ASSERT_TRUE(c.storePositive(key("A"), records(1), 100, t));
    ASSERT_TRUE(c.storePositive(key("B"), records(1), 100, t));
    ASSERT_TRUE(c.storePositive(key("C"), records(1), 100, t + 1));
    EXPECT_EQ(c.keysInOrder(), (Keys{"b:16", "c:16"}));
  }
  {
    SCOPED_TRACE("an expired entry goes before the oldest live one");
    DnsCache c(2, 60);
    ASSERT_TRUE(c.storePositive(key("A"), records(1), 100, t));
    ASSERT_TRUE(c.storePositive(key("B"), records(1), 30, t));
    ASSERT_TRUE(c.storePositive(key("C"), records(1), 100, t + 30));
    EXPECT_EQ(c.keysInOrder(), (Keys{"a:16", "c:16"}));
  }
  {
    SCOPED_TRACE("refresh while not full keeps the first-insertion place");
    DnsCache c(3, 60);
    ASSERT_TRUE(c.storePositive(key("A"), records(1), 30, t));
    ASSERT_TRUE(c.storePositive(key("B"), records(1), 100, t));
    ASSERT_TRUE(c.storePositive(key("a"), records(2), 100, t + 40));  // A expired, refreshed
    EXPECT_EQ(c.keysInOrder(), (Keys{"a:16", "b:16"}));
    EXPECT_EQ(c.lookup(key("A"), "A", t + 41).records, records(2));
    ASSERT_TRUE(c.storePositive(key("C"), records(1), 100, t + 41));
    ASSERT_TRUE(c.storePositive(key("D"), records(1), 100, t + 42));  // full, nothing expired
    EXPECT_EQ(c.keysInOrder(), (Keys{"b:16", "c:16", "d:16"}));
  }
  {
    SCOPED_TRACE("refresh of an expired entry in a full cache re-inserts it at the end");
    DnsCache c(2, 60);
    ASSERT_TRUE(c.storePositive(key("A"), records(1), 30, t));
    ASSERT_TRUE(c.storePositive(key("B"), records(1), 100, t));
    ASSERT_TRUE(c.storePositive(key("A"), records(2), 100, t + 30));
    EXPECT_EQ(c.keysInOrder(), (Keys{"b:16", "a:16"}));
    EXPECT_EQ(c.size(), 2u);
  }
  {
    SCOPED_TRACE("several expired: removed oldest first until below capacity");
    DnsCache c(3, 10);
    ASSERT_TRUE(c.storeNegative(key("A"), NegativeKind::Timeout, t));
    ASSERT_TRUE(c.storePositive(key("B"), records(1), 100, t));
    ASSERT_TRUE(c.storeNegative(key("C"), NegativeKind::NameError, t));
    ASSERT_TRUE(c.storePositive(key("D"), records(1), 100, t + 10));
    EXPECT_EQ(c.keysInOrder(), (Keys{"b:16", "c:16", "d:16"}));
    EXPECT_EQ(c.lookup(key("C"), "C", t + 10).outcome, Outcome::Miss);
  }
  {
    // A full cache with nothing expired skips the walk until the earliest
    // expiry; entries stored after such a walk must still count.
    SCOPED_TRACE("a shorter-lived entry stored after a walk that found nothing expired");
    DnsCache c(2, 10);
    ASSERT_TRUE(c.storePositive(key("A"), records(1), 100, t));
    ASSERT_TRUE(c.storePositive(key("B"), records(1), 100, t));
    ASSERT_TRUE(c.storePositive(key("C"), records(1), 100, t + 1));  // walk finds nothing
    ASSERT_TRUE(c.storeNegative(key("D"), NegativeKind::NameError, t + 2));
    EXPECT_EQ(c.keysInOrder(), (Keys{"c:16", "d:16"}));
    ASSERT_TRUE(c.storePositive(key("E"), records(1), 100, t + 12));  // D expired at t + 12
    EXPECT_EQ(c.keysInOrder(), (Keys{"c:16", "e:16"}));
  }
  {
    SCOPED_TRACE("an entry refreshed with a shorter lifetime after such a walk");
    DnsCache c(3, 60);
    ASSERT_TRUE(c.storePositive(key("A"), records(1), 100, t));
    ASSERT_TRUE(c.storePositive(key("B"), records(1), 100, t));
    ASSERT_TRUE(c.storePositive(key("C"), records(1), 100, t));
    ASSERT_TRUE(c.storePositive(key("D"), records(1), 100, t + 1));  // walk finds nothing
    ASSERT_TRUE(c.storePositive(key("D"), records(1), 30, t + 2));   // B goes, D refreshed
    EXPECT_EQ(c.keysInOrder(), (Keys{"c:16", "d:16"}));
    ASSERT_TRUE(c.storePositive(key("E"), records(1), 100, t + 3));
    ASSERT_TRUE(c.storePositive(key("F"), records(1), 100, t + 32));  // D expired at t + 32
    EXPECT_EQ(c.keysInOrder(), (Keys{"c:16", "e:16", "f:16"}));
  }
}

}  // namespace
}  // namespace quellsig
