#include "milter/auth_results.h"

#include <gtest/gtest.h>

#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quellsig {
namespace {

using namespace std::string_view_literals;

VerificationOutcome outcome(DkimResult result, std::string_view domain, std::string_view selector,
                            bool testing = false, std::string_view reason = "") {
  VerificationOutcome o;
  o.result = result;
  o.domain = domain;
  o.selector = selector;
  o.testing = testing;
  o.reason = reason;
  return o;
}

TEST(AuthResultsValue, PropertiesAndQuoting) {
  struct Case {
    const char* name;
    VerificationOutcome outcome;
    std::string_view value;
  };
  const Case cases[] = {
      {"pass", outcome(DkimResult::Pass, "example.org", "sel"),
       "mx.example.org;\r\n\tdkim=pass header.d=example.org header.s=sel"},
      {"bare bytes", outcome(DkimResult::Fail, "a-b_c@d.e", "S1"),
       "mx.example.org;\r\n\tdkim=fail header.d=a-b_c@d.e header.s=S1"},
      {"testing key last", outcome(DkimResult::Pass, "example.org", "s1", true),
       "mx.example.org;\r\n\tdkim=pass header.d=example.org header.s=s1 "
       "policy.dkim-rules=testing-key"},
      {"reason never written",
       outcome(DkimResult::Fail, "example.org", "s1", false, "signature did not verify"),
       "mx.example.org;\r\n\tdkim=fail header.d=example.org header.s=s1"},
      {"no selector", outcome(DkimResult::PermError, "example.org", ""),
       "mx.example.org;\r\n\tdkim=permerror header.d=example.org"},
      {"no domain", outcome(DkimResult::PermError, "", "s1"),
       "mx.example.org;\r\n\tdkim=permerror header.s=s1"},
      {"space quoted", outcome(DkimResult::Fail, "a b", "s1"),
       "mx.example.org;\r\n\tdkim=fail header.d=\"a b\" header.s=s1"},
      {"quote and backslash escaped", outcome(DkimResult::Fail, "a\"b\\c", "s+1"),
       "mx.example.org;\r\n\tdkim=fail header.d=\"a\\\"b\\\\c\" header.s=\"s+1\""},
      {"control bytes and DEL as ?", outcome(DkimResult::Fail, "a\r\nb\tc\x7f"sv, "\x00s"sv),
       "mx.example.org;\r\n\tdkim=fail header.d=\"a??b?c?\" header.s=\"?s\""},
      {"8-bit bytes quoted unchanged", outcome(DkimResult::Neutral, "caf\xc3\xa9.fr", "s1"),
       "mx.example.org;\r\n\tdkim=neutral header.d=\"caf\xc3\xa9.fr\" header.s=s1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto value = authResultsValue("mx.example.org", c.outcome);
    ASSERT_TRUE(value);
    EXPECT_EQ(*value, c.value);
  }
}

TEST(AuthResultsValue, WholeMessageOutcomesHaveNoProperties) {
  for (DkimResult r : {DkimResult::None, DkimResult::TempError, DkimResult::PermError}) {
    SCOPED_TRACE(dkimResultText(r));
    auto value = authResultsValue("mx.example.org", r);
    ASSERT_TRUE(value);
    EXPECT_EQ(*value, "mx.example.org;\r\n\tdkim=" + std::string(dkimResultText(r)));
  }
}

// Lines hold 78 columns; the first holds "Authentication-Results: " (24)
// before the value, and each continuation line starts with a TAB (column 1).
// "dkim=pass" ends at column 10, so " header.d=<d>" fits for d up to 58 bytes.
TEST(AuthResultsValue, FoldsAtSeventyEightColumns) {
  const std::string d58(58, 'd');
  const std::string d59(59, 'd');
  const std::string quoted = "d d" + std::string(55, 'd');  // 60 bytes with the quotes
  const std::string id54(54, 'i');
  const std::string id55(55, 'i');
  struct Case {
    const char* name;
    std::string_view id;
    VerificationOutcome outcome;
    std::string value;
  };
  const Case cases[] = {
      {"domain fills the line", "mx", outcome(DkimResult::Pass, d58, ""),
       "mx;\r\n\tdkim=pass header.d=" + d58},
      {"domain one byte over", "mx", outcome(DkimResult::Pass, d59, ""),
       "mx;\r\n\tdkim=pass\r\n\theader.d=" + d59},
      {"selector after a full line", "mx", outcome(DkimResult::Pass, d58, "s1", true),
       "mx;\r\n\tdkim=pass header.d=" + d58 + "\r\n\theader.s=s1 policy.dkim-rules=testing-key"},
      {"quoted value with a space is one token", "mx", outcome(DkimResult::Pass, quoted, "s"),
       "mx;\r\n\tdkim=pass\r\n\theader.d=\"" + quoted + "\"\r\n\theader.s=s"},
      {"54-byte authserv-id fits", id54, outcome(DkimResult::None, "", ""),
       id54 + ";\r\n\tdkim=none"},
      {"55-byte authserv-id folded", id55, outcome(DkimResult::None, "", ""),
       "\r\n\t" + id55 + ";\r\n\tdkim=none"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto value = authResultsValue(c.id, c.outcome);
    ASSERT_TRUE(value);
    EXPECT_EQ(*value, c.value);
  }
}

struct ForgeryCase {
  const char* name;
  std::string_view value;
  bool claims;
  bool forged;        // StripAuthResults off
  bool forged_strip;  // StripAuthResults on
};

void checkForgeries(std::span<const ForgeryCase> cases) {
  for (const ForgeryCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(claimsAuthservId(c.value, "mx.example.org"), c.claims);
    EXPECT_EQ(isForgedAuthResults(c.value, "mx.example.org", false), c.forged);
    EXPECT_EQ(isForgedAuthResults(c.value, "mx.example.org", true), c.forged_strip);
  }
}

TEST(ForgedAuthResults, ClaimAndMethods) {
  const ForgeryCase cases[] = {
      {"dkim result", "mx.example.org; dkim=pass header.d=example.org", true, true, true},
      {"dkim in capitals", "mx.example.org; DKIM=Pass", true, true, true},
      {"id in capitals", "MX.Example.ORG; dkim=pass", true, true, true},
      {"leading blanks", " \t\v\f\r\nmx.example.org;dkim=fail", true, true, true},
      {"other methods only", "mx.example.org; spf=pass smtp.mailfrom=a@b", true, false, true},
      {"dkim in a later entry", "mx.example.org; spf=pass; dkim=fail", true, true, true},
      {"no result", "mx.example.org; none", true, false, true},
      {"bare id", "mx.example.org", true, false, true},
      {"junk after a space", "mx.example.org x; dkim=pass", true, true, true},
      {"dkim without value", "mx.example.org; dkim=", true, false, true},
      {"dkim value only a comment", "mx.example.org; dkim= (nothing)", true, false, true},
      {"dkim without equals", "mx.example.org; dkim", true, false, true},
      {"dkim inside a comment", "mx.example.org; spf=pass (dkim=pass; x) smtp.mailfrom=a",
       true, false, true},
      {"dkim inside a quoted string", "mx.example.org; spf=pass reason=\"x; dkim=pass\"",
       true, false, true},
      {"longer method", "mx.example.org; dkim2=pass; dkim-atps=pass", true, false, true},
      {"method ending in dkim", "mx.example.org; xdkim=pass", true, false, true},
      {"method version not a number", "mx.example.org; dkim/x=pass", true, false, true},
      {"longer id", "mx.example.orgx; dkim=pass", false, false, false},
      {"longer domain", "mx.example.org.evil; dkim=pass", false, false, false},
      {"longer id with hyphen", "mx.example.org-2; dkim=pass", false, false, false},
      {"shorter id", "mx.example; dkim=pass", false, false, false},
      {"empty value", "", false, false, false},
  };
  checkForgeries(cases);
}

// Spellings an RFC 8601 reader takes as ours, and look-alikes it does not.
TEST(ForgedAuthResults, ReadsTheIdAsRfc8601Does) {
  const ForgeryCase cases[] = {
      {"folded with bare LF", "mx.example.org\n\t; dkim=pass", true, true, true},
      {"folded with CR LF", "mx.example.org\r\n\t; dkim=pass", true, true, true},
      {"folded entries", "mx.example.org;\n\tspf=pass;\n\tdkim=pass", true, true, true},
      {"comment before the id", "(c) mx.example.org; dkim=pass", true, true, true},
      {"nested comment before", "(a (b) \\) c)mx.example.org; dkim=pass", true, true, true},
      {"comment after the id", "mx.example.org(x); dkim=pass", true, true, true},
      {"quoted id", "\"mx.example.org\"; dkim=pass", true, true, true},
      {"quoted id in capitals", "\"MX.EXAMPLE.ORG\" ; dkim=pass", true, true, true},
      {"quoted pair in the id", "\"mx.exa\\mple.org\"; dkim=pass", true, true, true},
      {"id version", "mx.example.org 1; dkim=pass", true, true, true},
      {"id version and comment", "\"mx.example.org\" 1 (v); dkim=pass", true, true, true},
      {"method version", "mx.example.org; dkim/1=pass", true, true, true},
      {"method version with CFWS", "mx.example.org; dkim (m) / 1 = pass", true, true, true},
      {"comments around the method", "mx.example.org;(a)dkim(b)=(c)pass", true, true, true},
      {"versioned dkim in capitals", "mx.example.org; spf=pass; DKIM/2=fail", true, true, true},
      {"versioned other method", "mx.example.org; spf/1=pass", true, false, true},
      {"versioned longer method", "mx.example.org; dkim2/1=pass", true, false, true},
      {"another id", "other.example.org; dkim=pass", false, false, false},
      {"our id only in a comment before", "(mx.example.org) other.example.org; dkim=pass", false,
       false, false},
      {"our id only in a comment after", "other.example.org (mx.example.org); dkim=pass", false,
       false, false},
      {"our id only as a comment", "(mx.example.org); dkim=pass", false, false, false},
      {"quoted longer id", "\"mx.example.org.evil\"; dkim=pass", false, false, false},
      {"quoted shorter id", "\"mx.example\"; dkim=pass", false, false, false},
      {"unterminated quoted id", "\"mx.example.org; dkim=pass", false, false, false},
      {"quoted id followed by a word", "\"mx.example.org\" x; dkim=pass", false, false, false},
  };
  checkForgeries(cases);
}

// Occurrence numbers count every Authentication-Results field, whatever the
// spelling of its name, and only those.
TEST(ForgedAuthResults, PositionsAndOccurrences) {
  const HeaderField headers[] = {
      {"From", "a@example.org"},
      {"Authentication-Results", "mx.example.org; dkim=pass"},
      {"Authentication-Results", "other.example.org; dkim=pass"},
      {"X-Authentication-Results", "mx.example.org; dkim=pass"},
      {"authentication-results", "mx.example.org;\n\tdkim/1=fail"},
      {"AUTHENTICATION-RESULTS", "mx.example.org; spf=pass"},
      {"Authentication-Results-X", "mx.example.org; dkim=pass"},
  };
  struct Case {
    const char* name;
    bool strip_all;
    std::vector<std::pair<std::size_t, std::uint32_t>> forged;
  };
  const Case cases[] = {
      {"dkim results only", false, {{1, 1}, {4, 3}}},
      {"StripAuthResults", true, {{1, 1}, {4, 3}, {5, 4}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto forged = findForgedAuthResults(headers, "mx.example.org", c.strip_all);
    ASSERT_TRUE(forged);
    std::vector<std::pair<std::size_t, std::uint32_t>> got;
    for (const ForgedField& f : *forged) got.emplace_back(f.position, f.occurrence);
    EXPECT_EQ(got, c.forged);
  }
  auto none = findForgedAuthResults(std::span(headers).first(1), "mx.example.org", true);
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
}

}  // namespace
}  // namespace quellsig
