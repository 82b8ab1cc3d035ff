// Authentication-Results fields that claim our authserv-id, deleted by the
// evaluation with 'm' packets before the results are inserted.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/milter/evaluation_fixture.h"
#include "tests/support/log_capture.h"

namespace quellsig::testing {
namespace {

using namespace std::string_literals;

const std::string kBody =
    "From: Alice <alice@example.test>\r\n"
    "Subject: hello\r\n"
    "\r\n"
    "Hi.\r\n";

// No signature and no DNS: the lookup is never asked.
class NoLookup final : public KeyLookup {
 public:
  Result<std::vector<KeyAnswer>> lookupKeyRecords(std::string_view) override {
    ADD_FAILURE() << "no key lookup expected";
    return fail(Error::DnsTimeout);
  }
};

RuntimeSettings verifying(bool strip_all = false) {
  RuntimeSettings s = defaultRuntimeSettings();
  s.authserv_id = "mx.example.org";
  s.listener_modes = {ListenerMode::Verify};
  s.strip_auth_results = strip_all;
  return s;
}

// The 'm' packets of the replies, as occurrence numbers in sending order.
std::vector<std::uint32_t> deletions(const std::vector<ReplyPacket>& replies) {
  std::vector<std::uint32_t> out;
  for (const ReplyPacket& r : replies) {
    if (r.command != 'm') continue;
    for (std::uint32_t k = 1; k < 100; ++k) {
      if (r.payload == deletePayload(k)) out.push_back(k);
    }
  }
  return out;
}

std::string withFields(const std::vector<std::string>& values) {
  std::string head;
  for (const std::string& v : values) head += "Authentication-Results: " + v + "\r\n";
  return "Received: from a by b\r\n" + head + kBody;
}

TEST(ForgedFieldsTest, EachSpellingOfOurIdIsDeletedAndLookAlikesStay) {
  struct Case {
    std::string name, value;
    bool strip_all;
    bool deleted;
  } cases[] = {
      {"plain dkim claim", "mx.example.org; dkim=pass header.d=example.test", false, true},
      {"method in capitals", "mx.example.org; DKIM=pass", false, true},
      {"id in another case", "MX.Example.ORG; dkim=fail", false, true},
      {"other method only", "mx.example.org; spf=pass smtp.mailfrom=example.test", false, false},
      {"other method only, StripAuthResults", "mx.example.org; spf=pass", true, true},
      {"prefix of a longer name", "mx.example.orgx; dkim=pass", false, false},
      {"prefix of a longer name, StripAuthResults", "mx.example.org.evil; dkim=pass", true,
       false},
      {"another id", "other.example; dkim=pass", false, false},
      {"our id inside a comment only", "(mx.example.org) other.example; dkim=pass", false, false},
      {"folded before the semicolon", "mx.example.org\r\n\t; dkim=pass", false, true},
      {"folded after the semicolon", "mx.example.org;\r\n\tdkim=pass header.d=a.b", false, true},
      {"comment before the id", "(c) mx.example.org; dkim=pass", false, true},
      {"comment after the id", "mx.example.org(x); dkim=pass", false, true},
      {"quoted id", "\"mx.example.org\"; dkim=pass", false, true},
      {"authserv-id version", "mx.example.org 1; dkim=pass", false, true},
      {"method version", "mx.example.org; dkim/1=pass", false, true},
      {"method version with spaces", "mx.example.org; dkim / 1=pass", false, true},
      {"dkim in a later result", "mx.example.org; spf=pass; dkim=pass", false, true},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    NoLookup lookup;
    EvaluatedPeer e(verifying(tc.strip_all), lookup);
    auto replies = e.run({withFields({tc.value})});
    EXPECT_EQ(deletions(replies), tc.deleted ? std::vector<std::uint32_t>{1}
                                             : std::vector<std::uint32_t>{});
    ASSERT_FALSE(replies.empty());
    EXPECT_EQ(replies.back().command, 'c');
  }
}

TEST(ForgedFieldsTest, DeletedLastFirstSoThatEarlierNumbersStayValid) {
  NoLookup lookup;
  LogCapture log;
  EvaluatedPeer e(verifying(), lookup);
  const std::string text = withFields(
      {"mx.example.org; dkim=pass", "other.example; dkim=pass", "mx.example.org; dkim=fail"});
  auto replies = e.run({text});
  ASSERT_EQ(replies.size(), 4u);
  EXPECT_EQ(replies[0].payload, deletePayload(3));
  EXPECT_EQ(replies[1].payload, deletePayload(1));
  EXPECT_EQ(replies[2].payload,
            insertPayload("Authentication-Results", "mx.example.org;\n\tdkim=none"));
  EXPECT_EQ(log.count("removed 2 forged Authentication-Results header(s) claiming authserv-id "
                      "mx.example.org"),
            1);
  EXPECT_EQ(applyHeaderChanges(text, replies, false),
            "Authentication-Results: mx.example.org;\r\n\tdkim=none\r\n"
            "Received: from a by b\r\n"
            "Authentication-Results: other.example; dkim=pass\r\n" +
                kBody);
}

TEST(ForgedFieldsTest, WithoutChangeHeadersTheFieldsStayAndTheCountIsLogged) {
  NoLookup lookup;
  LogCapture log;
  EvaluatedPeer e(verifying(), lookup);
  MtaMessage m{withFields({"mx.example.org; dkim=pass", "mx.example.org; dkim=fail"})};
  m.actions = kActionAddHeaders;
  auto replies = e.run(m);
  EXPECT_TRUE(deletions(replies).empty());
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0].command, 'i');
  EXPECT_EQ(log.count("cannot remove 2 forged Authentication-Results header(s) claiming "
                      "authserv-id mx.example.org: MTA did not grant SMFIF_CHGHDRS"),
            1);
}

}  // namespace
}  // namespace quellsig::testing
