#include "engine/tag_list.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace quellsig {
namespace {

std::string manyTags(int n, const char* last = nullptr) {
  std::string s;
  for (int i = 0; i < n; ++i) s += "t" + std::to_string(i) + "=x;";
  if (last) s += last;
  return s;
}

TEST(ParseTagList, ValidatesAndReportsTheReason) {
  struct Case {
    const char* name;
    std::string value;
    std::optional<Error> error;  // nullopt: passes
  } cases[] = {
      {"plain", "v=1; a=rsa-sha256; d=x", std::nullopt},
      {"trailing semicolon", "v=1;", std::nullopt},
      {"trailing semicolon and spaces", "v=1; \r\n ", std::nullopt},
      {"empty value of a tag", "v=1; i=", std::nullopt},
      {"lower and upper d are different", "d=a; D=b", std::nullopt},
      {"name broken from equals by a fold", "b\r\n =x", std::nullopt},
      {"empty element before more tags", "v=1; ; a=b", Error::InvalidTagName},
      {"empty value", "", Error::EmptyTagList},
      {"only a semicolon", ";", Error::EmptyTagList},
      {"no equals", "v=1; abc", Error::MissingEquals},
      {"leading digit", "1a=x", Error::InvalidTagName},
      {"hyphen", "a-b=x", Error::InvalidTagName},
      {"empty name", "=x", Error::InvalidTagName},
      {"duplicate", "d=a; s=b; d=c", Error::DuplicateTagName},
      {"128 tags", manyTags(128), std::nullopt},
      {"129 tags", manyTags(128, "z=1"), Error::TooManyTags},
      {"129th repeats a name", manyTags(128, "t0=1"), Error::TooManyTags},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    auto r = parseTagList(tc.value);
    if (!tc.error) {
      EXPECT_TRUE(r.has_value()) << errorName(r.error());
    } else {
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error(), *tc.error);
    }
  }
}

TEST(SignatureParseReason, MapsErrorsToTheVerifierTexts) {
  EXPECT_EQ(signatureParseReason(Error::DuplicateTagName),
            "duplicate tag in signature (RFC 6376 3.2)");
  EXPECT_EQ(signatureParseReason(Error::TooManyTags), "signature carries too many tags");
  EXPECT_EQ(signatureParseReason(Error::UnsupportedAlgorithm), "unsupported a= algorithm");
  EXPECT_EQ(signatureParseReason(Error::InvalidCanonicalization),
            "unsupported c= canonicalization (RFC 6376 6.1.1)");
  for (Error e :
       {Error::EmptyTagList, Error::MissingEquals, Error::InvalidTagName, Error::OutOfMemory}) {
    EXPECT_EQ(signatureParseReason(e), "malformed signature") << errorName(e);
  }
}

TEST(ForEachTag, LenientWalkTrimsAndSkips) {
  std::vector<std::pair<std::string, std::string>> got;
  forEachTag(" k = rsa ;;noeq; =v; p= AB\r\n CD \r\n;\tt\t=1",
             [&](auto n, auto v) { got.emplace_back(std::string(n), std::string(v)); });
  EXPECT_EQ(got, (std::vector<std::pair<std::string, std::string>>{
                     {"k", "rsa"}, {"p", "AB\r\n CD"}, {"t", "1"}}));
}

TEST(ExtractSignatureFields, DefaultsAndValues) {
  auto f = extractSignatureFields("d=example.org; s=sel; h=from:to; bh=AAAA; b=BB\r\n CC");
  ASSERT_TRUE(f.has_value());
  EXPECT_EQ(f->version, "1");
  EXPECT_EQ(f->algorithm, SignatureAlgorithm::RsaSha256);
  EXPECT_EQ(f->header_canonicalization, Canonicalization::Simple);
  EXPECT_EQ(f->body_canonicalization, Canonicalization::Simple);
  EXPECT_EQ(f->domain, "example.org");
  EXPECT_EQ(f->selector, "sel");
  EXPECT_EQ(f->signed_headers, "from:to");
  EXPECT_EQ(f->body_hash, "AAAA");
  EXPECT_EQ(f->signature, "BB\r\n CC");
  EXPECT_FALSE(f->has_body_length);
  EXPECT_FALSE(f->has_timestamp);
  EXPECT_FALSE(f->has_expiration);

  auto g = extractSignatureFields(
      "v=2; a=ed25519-sha256; c=relaxed; l=12; t=+1_000; x=nope; D=upper; q=dns/txt; "
      "b\r\n =ignored");
  ASSERT_TRUE(g.has_value());
  EXPECT_EQ(g->version, "2");
  EXPECT_EQ(g->algorithm, SignatureAlgorithm::Ed25519Sha256);
  EXPECT_EQ(g->header_canonicalization, Canonicalization::Relaxed);
  EXPECT_EQ(g->body_canonicalization, Canonicalization::Simple);
  EXPECT_TRUE(g->has_body_length);
  EXPECT_EQ(g->body_length, 12u);
  EXPECT_TRUE(g->has_timestamp);
  EXPECT_EQ(g->timestamp, 1000u);
  EXPECT_FALSE(g->has_expiration);
  EXPECT_EQ(g->domain, "");
  EXPECT_EQ(g->signature, "");  // a name that keeps its fold is not b
}

TEST(ExtractSignatureFields, AlgorithmAndCanonicalizationErrors) {
  struct Case {
    const char* name;
    const char* value;
    Error error;
  } cases[] = {
      {"rsa-sha1", "a=rsa-sha1", Error::UnsupportedAlgorithm},
      {"empty a", "a=", Error::UnsupportedAlgorithm},
      {"upper-case algorithm", "a=RSA-SHA256", Error::UnsupportedAlgorithm},
      {"relaxed slash nothing", "c=relaxed/", Error::InvalidCanonicalization},
      {"capitalised", "c=Relaxed/simple", Error::InvalidCanonicalization},
      {"space around slash", "c=relaxed /simple", Error::InvalidCanonicalization},
      {"first bad tag decides: a", "a=x; c=bad", Error::UnsupportedAlgorithm},
      {"first bad tag decides: c", "c=bad; a=x", Error::InvalidCanonicalization},
  };
  for (const auto& tc : cases) {
    auto r = extractSignatureFields(tc.value);
    ASSERT_FALSE(r.has_value()) << tc.name;
    EXPECT_EQ(r.error(), tc.error) << tc.name;
  }
}

TEST(ParseCanonicalizationPair, Forms) {
  struct Case {
    const char* value;
    Canonicalization header, body;
  } cases[] = {
      {"", Canonicalization::Simple, Canonicalization::Simple},
      {"simple", Canonicalization::Simple, Canonicalization::Simple},
      {"relaxed", Canonicalization::Relaxed, Canonicalization::Simple},
      {"relaxed/relaxed", Canonicalization::Relaxed, Canonicalization::Relaxed},
      {"simple/relaxed", Canonicalization::Simple, Canonicalization::Relaxed},
  };
  for (const auto& tc : cases) {
    auto p = parseCanonicalizationPair(tc.value);
    ASSERT_TRUE(p.has_value()) << tc.value;
    EXPECT_EQ(p->header, tc.header) << tc.value;
    EXPECT_EQ(p->body, tc.body) << tc.value;
  }
}

TEST(ParseTagNumber, Table) {
  struct Case {
    const char* text;
    std::optional<std::uint64_t> want;
  } cases[] = {
      {"0", 0},
      {"42", 42},
      {"+7", 7},
      {"1_000_000", 1000000},
      {"18446744073709551615", UINT64_MAX},
      {"18446744073709551616", std::nullopt},
      {"99999999999999999999", std::nullopt},
      {"-0", 0},
      {"-000", 0},
      {"-1", std::nullopt},
      {"-", std::nullopt},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"++1", std::nullopt},
      {"_1", std::nullopt},
      {"1_", std::nullopt},
      {"12a", std::nullopt},
      {" 1", std::nullopt},
  };
  for (const auto& tc : cases) {
    auto r = parseTagNumber(tc.text);
    if (tc.want) {
      ASSERT_TRUE(r.has_value()) << "'" << tc.text << "'";
      EXPECT_EQ(*r, *tc.want) << "'" << tc.text << "'";
    } else {
      EXPECT_FALSE(r.has_value()) << "'" << tc.text << "'";
    }
  }
}

}  // namespace
}  // namespace quellsig
