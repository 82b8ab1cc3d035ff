#include "publisher/result_frame.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace quellsig {
namespace {

TEST(ResultFrame, TopicSpaceAndMembersInOrder) {
  auto frame = resultFrame("dkim", {ResultAction::Verify, DkimResult::Pass, "a.b", "s1"});
  ASSERT_TRUE(frame);
  EXPECT_EQ(*frame, R"(dkim {"action":"verify","result":"pass","domain":"a.b","selector":"s1"})");

  frame = resultFrame("mail.dkim", {ResultAction::Sign, DkimResult::Fail, "", ""});
  ASSERT_TRUE(frame);
  EXPECT_EQ(*frame, R"(mail.dkim {"action":"sign","result":"fail","domain":"","selector":""})");
}

TEST(ResultFrame, EveryResultWord) {
  const std::pair<DkimResult, std::string_view> words[] = {
      {DkimResult::Pass, "pass"},           {DkimResult::Fail, "fail"},
      {DkimResult::TempError, "temperror"}, {DkimResult::PermError, "permerror"},
      {DkimResult::Neutral, "neutral"},     {DkimResult::None, "none"},
      {DkimResult::Policy, "policy"},
  };
  for (const auto& [result, word] : words) {
    auto frame = resultFrame("t", {ResultAction::Verify, result, "", ""});
    ASSERT_TRUE(frame);
    EXPECT_EQ(*frame, std::string(R"(t {"action":"verify","result":")") + std::string(word) +
                          R"(","domain":"","selector":""})");
  }
}

// Domain and selector go through the same escaping; each row is checked in both.
TEST(ResultFrame, EscapesDomainAndSelector) {
  struct Case {
    const char* name;
    std::string_view raw;
    std::string_view escaped;
  };
  using namespace std::string_view_literals;
  const Case cases[] = {
      {"plain", "example.org", "example.org"},
      {"quote and backslash", "a\"b\\c", "a\\\"b\\\\c"},
      {"short escapes", "\b\t\n\f\r", "\\b\\t\\n\\f\\r"},
      {"other control bytes", "\x00\x01\x07\x0b\x0e\x1b\x1f"sv,
       "\\u0000\\u0001\\u0007\\u000b\\u000e\\u001b\\u001f"},
      {"space and DEL copied", "a b\x7f", "a b\x7f"},
      {"two-byte UTF-8", "caf\xc3\xa9.example", "caf\xc3\xa9.example"},
      {"three-byte UTF-8", "\xe2\x82\xac", "\xe2\x82\xac"},
      {"four-byte UTF-8", "\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
      {"largest code point", "\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"},
      {"lone lead byte", "a\xc3", "a\\ufffd"},
      {"lead byte before ASCII", "\xc3x", "\\ufffdx"},
      {"stray continuation", "\x80\xbf", "\\ufffd\\ufffd"},
      {"cut three-byte sequence", "\xe2\x82z", "\\ufffd\\ufffdz"},
      {"overlong two-byte", "\xc0\xaf", "\\ufffd\\ufffd"},
      {"overlong three-byte", "\xe0\x80\xaf", "\\ufffd\\ufffd\\ufffd"},
      {"surrogate", "\xed\xa0\x80", "\\ufffd\\ufffd\\ufffd"},
      {"above U+10FFFF", "\xf4\x90\x80\x80", "\\ufffd\\ufffd\\ufffd\\ufffd"},
      {"invalid lead byte", "\xff\xfe", "\\ufffd\\ufffd"},
      {"valid after invalid", "\xc3\xc3\xa9", "\\ufffd\xc3\xa9"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto frame = resultFrame("dkim", {ResultAction::Verify, DkimResult::Fail, c.raw, c.raw});
    ASSERT_TRUE(frame);
    const std::string esc(c.escaped);
    EXPECT_EQ(*frame, R"(dkim {"action":"verify","result":"fail","domain":")" + esc +
                          R"(","selector":")" + esc + R"("})");
  }
}

}  // namespace
}  // namespace quellsig
