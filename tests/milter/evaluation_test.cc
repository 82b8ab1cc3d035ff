// The end-of-message evaluation over a real connection: messages fed as an
// MTA feeds them, key records served by a real nsd (and by a silent fake
// server for the deadline), and the header changes, reply, publications and
// log records it produces.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "milter/evaluation.h"
#include "tests/milter/evaluation_fixture.h"
#include "tests/support/fake_dns_server.h"
#include "tests/support/log_capture.h"

namespace quellsig::testing {
namespace {

using namespace std::string_literals;

const std::string kAuthserv = "mx.example.org";

const std::string kMessage =
    "From: Alice <alice@example.test>\r\n"
    "To: Bob <bob@example.net>\r\n"
    "Subject: Quarterly  figures\r\n"
    "\tattached\r\n"
    "Date: Thu, 10 Dec 2026 12:00:00 +0000\r\n"
    "Message-ID: <eval@example.test>\r\n"
    "\r\n"
    "Hello  Bob,   \r\n"
    "\r\n"
    "the figures follow.\r\n";

RuntimeSettings settingsFor(ListenerMode mode) {
  RuntimeSettings s = defaultRuntimeSettings();
  s.authserv_id = kAuthserv;
  s.listener_modes = {mode};
  return s;
}

std::string arInsert(const std::string& value) {
  return insertPayload("Authentication-Results", value);
}

Published verified(DkimResult r, std::string domain = "", std::string selector = "") {
  return {ResultAction::Verify, r, std::move(domain), std::move(selector)};
}

// The replies as (command, payload) pairs, for one comparison.
std::vector<std::pair<char, std::string>> flat(const std::vector<ReplyPacket>& replies) {
  std::vector<std::pair<char, std::string>> out;
  for (const ReplyPacket& r : replies) out.emplace_back(r.command, r.payload);
  return out;
}

class EvaluationTest : public KeyZoneTest {
 protected:
  std::string signedBy(const std::string& selector, const std::string& text = kMessage,
                       std::string_view domain = "example.test") {
    const bool ed = selector == "ed";
    return signedWith(text, ed ? zone().ed() : zone().rsa(),
                      ed ? SignatureAlgorithm::Ed25519Sha256 : SignatureAlgorithm::RsaSha256,
                      domain, selector);
  }
};

TEST_F(EvaluationTest, VerifyModeRecordsOneFieldPerResult) {
  std::string three = signedWith(kMessage, zone().rsa(), SignatureAlgorithm::RsaSha256,
                                 "example.test", "rsa2");
  three = signedBy("ed", three);
  three = signedBy("rsa", three);
  struct Case {
    std::string name;
    std::string authserv;
    std::string text;
    std::vector<std::string> fields;  // in the order the 'i' packets come
    std::vector<Published> published;
  } cases[] = {
      {"one valid signature", kAuthserv, signedBy("rsa"),
       {"mx.example.org;\n\tdkim=pass header.d=example.test header.s=rsa"},
       {verified(DkimResult::Pass, "example.test", "rsa")}},
      {"a result longer than the line folds before the selector", kAuthserv,
       signedBy("rsa", kMessage, kLongDomain),
       {"mx.example.org;\n\tdkim=pass header.d=" + std::string(kLongDomain) + "\n\theader.s=rsa"},
       {verified(DkimResult::Pass, std::string(kLongDomain), "rsa")}},
      {"an authserv-id of 55 bytes starts on a line of its own", std::string(55, 'a'),
       signedBy("rsa"),
       {"\n\t" + std::string(55, 'a') + ";\n\tdkim=pass header.d=example.test header.s=rsa"},
       {verified(DkimResult::Pass, "example.test", "rsa")}},
      {"no signature", kAuthserv, kMessage, {"mx.example.org;\n\tdkim=none"},
       {verified(DkimResult::None)}},
      {"three signatures, one field each", kAuthserv, three,
       {"mx.example.org;\n\tdkim=pass header.d=example.test header.s=rsa",
        "mx.example.org;\n\tdkim=pass header.d=example.test header.s=ed",
        "mx.example.org;\n\tdkim=fail header.d=example.test header.s=rsa2"},
       {verified(DkimResult::Pass, "example.test", "rsa"),
        verified(DkimResult::Pass, "example.test", "ed"),
        verified(DkimResult::Fail, "example.test", "rsa2")}},
      {"a testing key", kAuthserv, signedBy("test"),
       {"mx.example.org;\n\tdkim=pass header.d=example.test header.s=test "
        "policy.dkim-rules=testing-key"},
       {verified(DkimResult::Pass, "example.test", "test")}},
      {"unknown selector", kAuthserv, signedBy("absent"),
       {"mx.example.org;\n\tdkim=permerror header.d=example.test header.s=absent"},
       {verified(DkimResult::PermError, "example.test", "absent")}},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    RuntimeSettings s = settingsFor(ListenerMode::Verify);
    s.authserv_id = tc.authserv;
    EvaluatedPeer e(s, *lookup_);
    auto replies = e.run({tc.text});
    std::vector<std::pair<char, std::string>> expected;
    for (const std::string& f : tc.fields) expected.emplace_back('i', arInsert(f));
    expected.emplace_back('c', "");
    EXPECT_EQ(flat(replies), expected);
    EXPECT_EQ(e.sink.records, tc.published);
  }
}

TEST_F(EvaluationTest, OutcomesWorthAttentionAreLogged) {
  const std::string with_l =
      signedWith(kMessage, zone().rsa(), SignatureAlgorithm::RsaSha256, "example.test", "rsa",
                 true) +
      "added later\r\n";
  struct Case {
    std::string name, text;
    std::uint32_t minimum_key_bits;
    std::vector<std::string> records;
  } cases[] = {
      {"a failed signature", signedBy("rsa2"), 1024,
       {"example.test: dkim=fail (signature mismatch)"}},
      {"a key below MinimumKeyBits",
       signedWith(kMessage, zone().rsa2(), SignatureAlgorithm::RsaSha256, "example.test", "rsa2"),
       2048,
       {"example.test: dkim=permerror (key too small)",
        "example.test: RSA key below MinimumKeyBits=2048, signature permanently failed (RFC "
        "8301 3.2)"}},
      {"a pass that leaves body octets unsigned", with_l, 1024,
       {"example.test: dkim=pass covers only the first l= octets, 13 trailing body octets are "
        "unsigned (RFC 6376 8.2)"}},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    RuntimeSettings s = settingsFor(ListenerMode::Verify);
    s.minimum_key_bits = tc.minimum_key_bits;
    LogCapture log;
    EvaluatedPeer e(s, *lookup_);
    e.run({tc.text});
    std::vector<std::string> records;
    for (const std::string& r : log.messages()) {
      if (!r.starts_with("dns: ") && !r.starts_with("id=")) records.push_back(r);
    }
    EXPECT_EQ(records, tc.records);
  }
}

TEST_F(EvaluationTest, PropertyValuesAreQuotedAndControlBytesMasked) {
  struct Case {
    std::string name, tags, expected_d;
  } cases[] = {
      {"double quote", "d=ex\"ample.test", "header.d=\"ex\\\"ample.test\""},
      {"control byte", "d=ex\x01" "ample.test", "header.d=\"ex?ample.test\""},
      {"backslash", "d=ex\\ample.test", "header.d=\"ex\\\\ample.test\""},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    const std::string text = "DKIM-Signature: v=1; a=rsa-sha256; " + tc.tags +
                             "; s=rsa; h=from; bh=AAAA; b=AAAA\r\n" + kMessage;
    EvaluatedPeer e(settingsFor(ListenerMode::Verify), *lookup_);
    auto replies = e.run({text});
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].command, 'i');
    EXPECT_NE(replies[0].payload.find(tc.expected_d + " header.s=rsa\0"s), std::string::npos)
        << replies[0].payload;
  }
}

TEST_F(EvaluationTest, WholeMessageOutcomes) {
  std::string many = kMessage;
  const std::string one = signedBy("rsa");
  const std::string field = one.substr(0, one.size() - kMessage.size());
  for (int i = 0; i < 21; ++i) many = field + many;

  LogCapture log;
  {
    SCOPED_TRACE("21 signatures with MaxSignatures 20");
    EvaluatedPeer e(settingsFor(ListenerMode::Verify), *lookup_);
    EXPECT_EQ(e.settings.limits.max_signatures, 20u);
    auto replies = e.run({many});
    EXPECT_EQ(flat(replies), (std::vector<std::pair<char, std::string>>{
                                 {'i', arInsert("mx.example.org;\n\tdkim=permerror")}, {'c', ""}}));
    EXPECT_EQ(e.sink.records, std::vector<Published>{verified(DkimResult::PermError)});
    EXPECT_EQ(log.count("more than MaxSignatures=20 DKIM-Signature headers from "
                        "mx[client.example.net]: not verifying"),
              1);
  }
  {
    SCOPED_TRACE("20 signatures with MaxSignatures 20 are all verified");
    std::string twenty = kMessage;
    for (int i = 0; i < 20; ++i) twenty = field + twenty;
    EvaluatedPeer e(settingsFor(ListenerMode::Verify), *lookup_);
    auto replies = e.run({twenty});
    EXPECT_EQ(replies.size(), 21u);
    EXPECT_EQ(e.sink.records.size(), 20u);
  }
  {
    SCOPED_TRACE("body over MaxBodyBytes");
    RuntimeSettings s = settingsFor(ListenerMode::Verify);
    s.limits.max_body_bytes = 16;
    EvaluatedPeer e(s, *lookup_);
    auto replies = e.run({one});
    EXPECT_EQ(flat(replies), (std::vector<std::pair<char, std::string>>{
                                 {'i', arInsert("mx.example.org;\n\tdkim=temperror")}, {'c', ""}}));
    EXPECT_EQ(e.sink.records, std::vector<Published>{verified(DkimResult::TempError)});
  }
}

TEST_F(EvaluationTest, SignModeTouchesNoAuthenticationResults) {
  auto signing = signingConfig(zone().dir(), "*@example.test k1\n",
                               "k1 example.test:rsa:" + zone().keyPath("rsa") + "\n");
  ASSERT_TRUE(signing);
  const std::string forged = "Authentication-Results: mx.example.org; dkim=pass\r\n" + kMessage;
  EvaluatedPeer e(settingsFor(ListenerMode::Sign), *lookup_, signing.get());
  auto replies = e.run({forged});
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0].command, 'i');
  EXPECT_TRUE(replies[0].payload.starts_with(be32(0) + "DKIM-Signature\0v=1; a=rsa-sha256;"s))
      << replies[0].payload;
  EXPECT_EQ(replies[1].command, 'a');
  EXPECT_EQ(e.sink.records, (std::vector<Published>{
                                {ResultAction::Sign, DkimResult::Pass, "example.test", "rsa"}}));
}

TEST_F(EvaluationTest, BothModeVerifiesThenSignsOnTop) {
  auto signing = signingConfig(zone().dir(), "*@example.test k1\n",
                               "k1 example.test:rsa:" + zone().keyPath("rsa") + "\n");
  ASSERT_TRUE(signing);
  EvaluatedPeer e(settingsFor(ListenerMode::Both), *lookup_, signing.get());
  auto replies = e.run({kMessage});
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[0].payload, arInsert("mx.example.org;\n\tdkim=none"));
  EXPECT_TRUE(replies[1].payload.starts_with(be32(0) + "DKIM-Signature\0"s));
  EXPECT_EQ(replies[2].command, 'a');
  EXPECT_EQ(e.sink.records,
            (std::vector<Published>{verified(DkimResult::None),
                                    {ResultAction::Sign, DkimResult::Pass, "example.test", "rsa"}}));
}

// Replies already waiting fill the output queue so that the result's field
// cannot be queued.
TEST_F(EvaluationTest, BothModeDefersWhenAResultCannotBeRecordedAndDoesNotSign) {
  auto signing = signingConfig(zone().dir(), "*@example.test k1\n",
                               "k1 example.test:rsa:" + zone().keyPath("rsa") + "\n");
  ASSERT_TRUE(signing);
  LogCapture log;
  EvaluatedPeer e(settingsFor(ListenerMode::Both), *lookup_, signing.get());
  e.begin({signedBy("rsa")});
  const auto filler = encodeReply('c');
  const std::size_t count = (kMaxPendingReplyBytes - 50) / filler.size();
  for (std::size_t i = 0; i < count; ++i) {
    ASSERT_TRUE(queuePacket(*e.peer->connection, filler).has_value());
  }
  auto replies = e.end();
  ASSERT_EQ(replies.size(), count + 1);
  EXPECT_EQ(replies.back().command, 't');
  EXPECT_TRUE(e.sink.records.empty());
  EXPECT_EQ(log.count("deferring: could not record the dkim result (error.OutputQueueFull); "
                      "delivering without it would misrepresent what was checked"),
            1);
}

TEST_F(EvaluationTest, DeadlineAgainstASilentServerSkipsTheRemainingSignatures) {
  auto silent = FakeDnsServer::start("127.0.0.58", 0,
                                     [](const FakeQuery&) { return std::vector<FakeDatagram>{}; });
  ASSERT_TRUE(silent);
  // One second per lookup: the second signature starts before the deadline,
  // the third after it.
  auto slow = lookupAt(silent->address(), silent->port(), 1000, 0);
  std::string text = kMessage;
  for (const char* selector : {"s3", "s2", "s1"}) text = signedBy(selector, text);
  RuntimeSettings s = settingsFor(ListenerMode::Verify);
  s.max_evaluation_ms = 1500;
  LogCapture log;
  EvaluatedPeer e(s, *slow);
  auto replies = e.run({text});
  ASSERT_EQ(replies.size(), 4u);
  EXPECT_EQ(replies[2].payload, arInsert("mx.example.org;\n\tdkim=temperror"));
  EXPECT_EQ(replies[3].command, 'c');
  EXPECT_EQ(e.sink.records, (std::vector<Published>{
                                verified(DkimResult::TempError, "example.test", "s1"),
                                verified(DkimResult::TempError, "example.test", "s2"),
                                verified(DkimResult::TempError)}));
  EXPECT_EQ(silent->udpQueries(), 2);
  EXPECT_EQ(log.count("dkim: evaluation deadline exceeded; remaining signatures not verified"), 1);
}

// A clock that reads `start` until the evaluation has read it `steady` times,
// then `start + step`.
struct ScriptedClock {
  static inline std::uint64_t start = 0, step = 0;
  static inline int steady = 0, reads = 0;
  static std::uint64_t now() { return reads++ < steady ? start : start + step; }
  static void set(std::uint64_t s, int st, std::uint64_t d) {
    start = s;
    steady = st;
    step = d;
    reads = 0;
  }
};

TEST_F(EvaluationTest, DeadlineAndElapsedTimeFollowTheEvaluationClock) {
  RecordingSink sink;
  const RuntimeSettings settings = settingsFor(ListenerMode::Verify);
  EXPECT_EQ((EvaluationServices{settings, *lookup_, nullptr, sink, nullptr}.clock_nanos),
            &platform::monotonicNanos);
  {
    SCOPED_TRACE("1.9 ms is logged as 1 ms");
    LogCapture log;
    EvaluatedPeer e(settingsFor(ListenerMode::Sign), *lookup_);
    e.clock = ScriptedClock::now;
    ScriptedClock::set(5'000'000'000, 1, 1'900'000);
    e.run({kMessage});
    EXPECT_EQ(log.count("id=4XyZ1 peer=mx[client.example.net] client=client.example.net "
                        "from=alice@example.test listener=0 mode=sign elapsed=1ms"),
              1);
  }
  {
    SCOPED_TRACE("the budget runs out between two signatures");
    std::string text = signedBy("ed", signedBy("rsa"));
    RuntimeSettings s = settingsFor(ListenerMode::Verify);
    s.max_evaluation_ms = 100;
    EvaluatedPeer e(s, *lookup_);
    e.clock = ScriptedClock::now;
    // Read at the start, for the deadline and before the first signature.
    ScriptedClock::set(7'000'000'000, 3, 100'000'000);
    auto replies = e.run({text});
    EXPECT_EQ(e.sink.records, (std::vector<Published>{
                                  verified(DkimResult::Pass, "example.test", "ed"),
                                  verified(DkimResult::TempError)}));
    EXPECT_EQ(replies.size(), 3u);
  }
  {
    SCOPED_TRACE("MaxEvaluationMs 0 has no deadline, a negative budget has passed at once");
    const std::string text = signedBy("ed", signedBy("rsa"));
    struct Budget {
      std::int64_t ms;
      std::vector<Published> published;
    } budgets[] = {
        {0,
         {verified(DkimResult::Pass, "example.test", "ed"),
          verified(DkimResult::Pass, "example.test", "rsa")}},
        {-5, {verified(DkimResult::TempError)}},
    };
    for (const Budget& b : budgets) {
      RuntimeSettings s = settingsFor(ListenerMode::Verify);
      s.max_evaluation_ms = b.ms;
      EvaluatedPeer e(s, *lookup_);
      e.clock = ScriptedClock::now;
      ScriptedClock::set(9'000'000'000, 1, 3'600'000'000'000);  // an hour after the start
      e.run({text});
      EXPECT_EQ(e.sink.records, b.published) << b.ms;
    }
  }
}

TEST_F(EvaluationTest, PerMessageRecordAndListenerFallback) {
  struct Case {
    std::string name;
    std::string sender;
    std::uint32_t listener;
    std::string record;
  } cases[] = {
      {"null sender", "<>", 0,
       "id=4XyZ1 peer=mx[client.example.net] client=client.example.net from=- listener=0 "
       "mode=verify elapsed=0ms"},
      {"listener without a mode", "<a b@example.test>", 2,
       "id=4XyZ1 peer=mx[client.example.net] client=client.example.net from=a_b@example.test "
       "listener=2 mode=verify elapsed=0ms"},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    LogCapture log;
    EvaluatedPeer e(settingsFor(ListenerMode::Verify), *lookup_);
    e.clock = [] { return std::uint64_t{42}; };
    e.peer->connection->listener_index = tc.listener;
    MtaMessage m{kMessage};
    m.sender = tc.sender;
    e.run(m);
    EXPECT_EQ(log.count(tc.record), 1) << ::testing::PrintToString(log.messages());
    EXPECT_EQ(log.count("listener index 2 has no configured mode (1 known): falling back to "
                        "verify"),
              tc.listener == 2 ? 1 : 0);
  }
}

}  // namespace
}  // namespace quellsig::testing
