// The signing step through the evaluation and on its own: keys from a
// KeyTable, fields inserted on top in configured order, failures per key,
// senders that give no signature, and a signed message that the check tool
// and Mail::DKIM verify against the test nsd.
#include "milter/signing_step.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/milter/evaluation_fixture.h"
#include "tests/support/log_capture.h"
#include "tests/support/mail_dkim.h"
#include "tests/support/run_program.h"

namespace quellsig::testing {
namespace {

using namespace std::string_literals;

const std::string kMessage =
    "From: Alice <alice@example.test>\r\n"
    "To: Bob <bob@example.net>\r\n"
    "Subject: Quarterly  figures,\r\n"
    "\tfolded as the MTA folds\r\n"
    "Date: Thu, 10 Dec 2026 12:00:00 +0000\r\n"
    "Message-ID: <sign@example.test>\r\n"
    "\r\n"
    "Hello  Bob,   \r\n"
    "\r\n"
    "the figures follow.\r\n\r\n";

Published signAttempt(DkimResult r, std::string selector) {
  return {ResultAction::Sign, r, "example.test", std::move(selector)};
}

class SigningStepTest : public KeyZoneTest {
 protected:
  static RuntimeSettings settings(ListenerMode mode, bool multi_sign = false) {
    RuntimeSettings s = defaultRuntimeSettings();
    s.authserv_id = "mx.example.org";
    s.listener_modes = {mode};
    s.multi_sign = multi_sign;
    return s;
  }
  std::unique_ptr<const SigningConfig> twoKeys() {
    return signingConfig(zone().dir(), "*@example.test k1\n",
                         "k1 example.test:rsa:" + zone().keyPath("rsa") +
                             "\nk1 example.test:rsa2:" + zone().keyPath("rsa2") + "\n");
  }
  // The selectors of the DKIM-Signature fields of a message, top first.
  static std::vector<std::string> signatureSelectors(const std::string& text) {
    std::vector<std::string> out;
    for (std::size_t at = text.find("DKIM-Signature:"); at != std::string::npos;
         at = text.find("DKIM-Signature:", at + 1)) {
      const std::size_t s = text.find(" s=", at) + 3;
      out.push_back(text.substr(s, text.find(';', s) - s));
    }
    return out;
  }
  // The replies to one message whose end-of-message hook signs with entries.
  static std::vector<ReplyPacket> signWith(std::span<const SigningEntry> entries,
                                           RecordingSink& sink) {
    MilterHooks hooks;
    hooks.end_of_message = [&](MilterConnection& c) { return signWithEntries(c, entries, sink); };
    MilterPeer peer(defaultRuntimeSettings(), "client.example.net", std::move(hooks));
    peer.feed(mtaPackets({kMessage}));
    peer.drainReplies();
    peer.feed(packet('E'));
    return splitReplies(peer.drainReplies());
  }
};

TEST_F(SigningStepTest, MultiSignPutsTheFirstConfiguredKeyOnTop) {
  auto signing = twoKeys();
  ASSERT_TRUE(signing);
  EvaluatedPeer e(settings(ListenerMode::Sign, true), *lookup_, signing.get());
  auto replies = e.run({kMessage});
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[2].command, 'a');
  const std::string delivered = applyHeaderChanges(kMessage, replies, false);
  EXPECT_EQ(signatureSelectors(delivered), (std::vector<std::string>{"rsa", "rsa2"}));
  EXPECT_EQ(e.sink.records, (std::vector<Published>{signAttempt(DkimResult::Pass, "rsa2"),
                                                    signAttempt(DkimResult::Pass, "rsa")}));

  // Both fields verify as delivered.
  EvaluatedPeer v(settings(ListenerMode::Verify), *lookup_);
  v.run({delivered});
  EXPECT_EQ(v.sink.records, (std::vector<Published>{
                                {ResultAction::Verify, DkimResult::Pass, "example.test", "rsa"},
                                {ResultAction::Verify, DkimResult::Pass, "example.test", "rsa2"}}));
}

TEST_F(SigningStepTest, AFailingKeyIsLoggedAndPublishedWhileTheOtherSigns) {
  auto signing = signingConfig(zone().dir(), "*@example.test k1\n",
                               "k1 example.test:rsa:" + zone().keyPath("rsa") + "\n");
  ASSERT_TRUE(signing);
  const SigningEntry good{"example.test", "rsa", "from:to:subject", "from",
                          &signing->keys()[0].key};
  const PrivateKey no_key;
  const SigningEntry bad{"example.test", "bad", "from", "", &no_key};
  const std::vector<SigningEntry> entries{good, bad};

  RecordingSink sink;
  LogCapture log;
  auto replies = signWith(entries, sink);
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0].command, 'i');
  EXPECT_EQ(replies[1].command, 'a');
  EXPECT_EQ(signatureSelectors(applyHeaderChanges(kMessage, replies, false)),
            std::vector<std::string>{"rsa"});
  EXPECT_EQ(sink.records, (std::vector<Published>{signAttempt(DkimResult::Fail, "bad"),
                                                  signAttempt(DkimResult::Pass, "rsa")}));
  EXPECT_EQ(log.count("signing failed for example.test/bad: error.SignInitFailed"), 1);

  // With no key left the message goes on unsigned.
  RecordingSink none;
  const std::vector<SigningEntry> only_bad{bad};
  auto replies2 = signWith(only_bad, none);
  ASSERT_EQ(replies2.size(), 1u);
  EXPECT_EQ(replies2[0].command, 'c');
  EXPECT_EQ(none.records, std::vector<Published>{signAttempt(DkimResult::Fail, "bad")});
  EXPECT_EQ(log.count("not signing: internal error no signature could be produced"), 1);
}

TEST_F(SigningStepTest, SendersWithoutADomainGiveNothing) {
  auto signing = twoKeys();
  ASSERT_TRUE(signing);
  struct Case {
    std::string name, sender;
    const SigningConfig* config;
  } cases[] = {
      {"null sender", "<>", signing.get()},
      {"no at sign", "<alice>", signing.get()},
      {"empty domain", "<alice@>", signing.get()},
      {"domain without a key", "<alice@example.net>", signing.get()},
      {"no signing configuration", "<alice@example.test>", nullptr},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    LogCapture log;
    EvaluatedPeer e(settings(ListenerMode::Sign), *lookup_, tc.config);
    MtaMessage m{kMessage};
    m.sender = tc.sender;
    auto replies = e.run(m);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].command, 'c');
    EXPECT_TRUE(e.sink.records.empty());
    // Only the per-message record.
    ASSERT_EQ(log.messages().size(), 1u) << ::testing::PrintToString(log.messages());
    EXPECT_TRUE(log.messages()[0].starts_with("id=4XyZ1 ")) << log.messages()[0];
  }
}

TEST_F(SigningStepTest, AnIncompleteCopyIsNotSigned) {
  auto signing = twoKeys();
  ASSERT_TRUE(signing);
  RuntimeSettings s = settings(ListenerMode::Sign);
  s.limits.max_body_bytes = 10;
  LogCapture log;
  EvaluatedPeer e(s, *lookup_, signing.get());
  auto replies = e.run({kMessage});
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].command, 'c');
  EXPECT_TRUE(e.sink.records.empty());
  EXPECT_EQ(log.count("not signing message from mx[client.example.net]: accumulated copy is "
                      "incomplete"),
            1);
}

TEST_F(SigningStepTest, SignedMessagesVerifyWithTheCheckToolAndMailDkim) {
  const std::string check = QUELLSIG_BIN_DIR "/tools/check/quellsig-check";
  auto signing = signingConfig(zone().dir(), "*@example.test k1\n",
                               "k1 example.test:rsa:" + zone().keyPath("rsa") + "\n");
  ASSERT_TRUE(signing);
  testutil::TempDir dir("e2esign");
  const std::string ns = zone().server().address();
  const std::string port = std::to_string(zone().server().port());
  for (std::uint32_t flags : {0u, kProtocolHeaderLeadingSpace}) {
    SCOPED_TRACE(flags == 0 ? "MTA adds the space after the colon" : "leading space negotiated");
    EvaluatedPeer e(settings(ListenerMode::Sign), *lookup_, signing.get());
    MtaMessage m{kMessage};
    m.protocol_flags = flags;
    auto replies = e.run(m);
    ASSERT_EQ(replies.size(), 2u);
    const std::string delivered = applyHeaderChanges(kMessage, replies, flags != 0);
    ASSERT_TRUE(delivered.starts_with("DKIM-Signature: v=1; a=rsa-sha256; c=relaxed/relaxed;"))
        << delivered;
    dir.write("signed.eml", delivered);

    const std::vector<std::string> check_argv{check, "-n", ns, "-p", port, "signed.eml"};
    auto ours = testutil::runProgram(check_argv, dir.path().string());
    ASSERT_TRUE(ours.has_value());
    EXPECT_EQ(ours->exit_status, 0) << ours->err;
    EXPECT_EQ(ours->out,
              "sig.0.result=pass\nsig.0.domain=example.test\nsig.0.selector=rsa\n"
              "signatures=1\nresult=pass\n");

    auto theirs =
        testutil::mailDkimVerify("signed.eml", ns, zone().server().port(), dir.path().string());
    ASSERT_TRUE(theirs.has_value());
    EXPECT_TRUE(theirs->out.starts_with("pass\n")) << theirs->out << theirs->err;
  }
}

}  // namespace
}  // namespace quellsig::testing
