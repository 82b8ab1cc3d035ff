// The MTA side of the milter protocol against the null filter, over real
// loopback and UNIX-domain sockets.
#include "tests/support/milter_client.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/blocking_stream.h"
#include "platform/byte_cursor.h"
#include "platform/clock.h"
#include "platform/inet_address.h"
#include "platform/thread.h"
#include "tests/support/null_milter.h"
#include "tests/support/temp_dir.h"

namespace quellsig::testing {
namespace {

const char kFolded[] =
    "Received: from a by b;\r\n"
    "\tFri, 11 Dec 2026 12:00:00 +0000\r\n"
    "From: Sender <sender@example.test>\r\n"
    "Subject: first part\r\n"
    "\tsecond part\r\n"
    "Received: from c by d; Fri, 11 Dec 2026 12:00:01 +0000\r\n"
    "\r\n"
    "line one\r\n"
    "line two\r\n";

std::unique_ptr<NullMilter> startNull(const MilterTarget& where, NullMilterOptions options = {}) {
  auto milter = NullMilter::start(where, std::move(options));
  if (!milter) {
    ADD_FAILURE() << "null filter: " << errorName(milter.error());
    return nullptr;
  }
  return std::move(*milter);
}

MilterMessage folded() {
  return MilterMessage::parse(kFolded, "sender@example.test", {"rcpt@example.test"}).value();
}

TEST(MilterClientTest, NegotiatesAndStreamsMessagesOverTcpAndUnix) {
  testutil::TempDir dir("mc");
  struct Case {
    std::string name;
    MilterTarget where;
    std::uint32_t offer_actions, offer_flags;
    std::uint32_t want_actions, want_flags;
    bool pipeline = false;
  };
  const Case cases[] = {
      {"tcp, Postfix's offer", MilterTarget::inet("127.0.0.1", 0), 0x1FF, 0x1FFFFF, 0x11, 0x100000},
      {"tcp, add only", MilterTarget::inet("127.0.0.1", 0), 0x01, 0, 0x01, 0},
      {"unix, Postfix's offer", MilterTarget::unixPath(dir.file("m.sock")), 0x1FF, 0x1FFFFF, 0x11,
       0x100000},
      {"tcp, pipelined", MilterTarget::inet("127.0.0.1", 0), 0x1FF, 0x1FFFFF, 0x11, 0x100000, true},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    auto milter = startNull(tc.where);
    ASSERT_NE(milter, nullptr);
    MilterClientOptions options;
    options.actions = tc.offer_actions;
    options.protocol_flags = tc.offer_flags;
    options.pipeline = tc.pipeline;
    constexpr int kConnections = 3;
    constexpr int kMessages = 4;
    for (int c = 0; c < kConnections; ++c) {
      auto client = MilterClient::connect(milter->target(), options);
      ASSERT_TRUE(client) << errorName(client.error());
      EXPECT_EQ((*client)->negotiatedVersion(), 6u);
      EXPECT_EQ((*client)->negotiatedActions(), tc.want_actions);
      EXPECT_EQ((*client)->negotiatedProtocolFlags(), tc.want_flags);
      EXPECT_EQ((*client)->sessionReply(), 'c');
      for (int m = 0; m < kMessages; ++m) {
        auto replies = (*client)->sendMessage(generatedMessage(2048));
        ASSERT_TRUE(replies) << errorName(replies.error());
        EXPECT_EQ(replies->final_reply, 'c');
        EXPECT_EQ(replies->ended_at, 'E');
        EXPECT_TRUE(replies->changes.empty());
        EXPECT_GT(replies->latency_ns, 0u);
      }
      EXPECT_TRUE((*client)->quit());
    }
    EXPECT_EQ(milter->connections(), std::uint64_t{kConnections});
    EXPECT_EQ(milter->messages(), std::uint64_t{kConnections * kMessages});
  }
}

// Values reach the filter as Postfix sends them: folds as bare LF, and the
// leading space only when the filter asked for it.
TEST(MilterClientTest, SendsHeaderValuesInPostfixForm) {
  struct Case {
    std::string name;
    std::uint32_t offer_flags;
    std::string subject, received;
  };
  const Case cases[] = {
      {"with leading space", 0x1FFFFF, " first part\n\tsecond part",
       " from a by b;\n\tFri, 11 Dec 2026 12:00:00 +0000"},
      {"without", 0, "first part\n\tsecond part",
       "from a by b;\n\tFri, 11 Dec 2026 12:00:00 +0000"},
  };
  auto milter = startNull(MilterTarget::inet("127.0.0.1", 0));
  ASSERT_NE(milter, nullptr);
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    MilterClientOptions options;
    options.protocol_flags = tc.offer_flags;
    auto client = MilterClient::connect(milter->target(), options);
    ASSERT_TRUE(client) << errorName(client.error());
    ASSERT_TRUE((*client)->sendMessage(folded()));
    const auto headers = milter->lastHeaders();
    ASSERT_EQ(headers.size(), 4u);
    EXPECT_EQ(headers[0].first, "Received");
    EXPECT_EQ(headers[0].second, tc.received);
    EXPECT_EQ(headers[2].first, "Subject");
    EXPECT_EQ(headers[2].second, tc.subject);
  }
}

// The filter's header changes come back in order and are applied the way the
// MTA applies them.
TEST(MilterClientTest, CollectsAndAppliesHeaderChanges) {
  NullMilterOptions script;
  script.final_reply = 'a';
  script.changes = {
      {'m', 2, "Received", ""},                                    // delete the second Received
      {'i', 0, "DKIM-Signature", " v=1; a=rsa-sha256;\n\tb=abc"},  // on top
      {'i', 2, "X-Middle", " in the middle"},                      // before the third field
      {'h', 0, "X-Added", " at the end"},
      {'m', 1, "subject", " replaced"},
      {'m', 3, "Received", ""},  // no such field: nothing
  };
  auto milter = startNull(MilterTarget::inet("127.0.0.1", 0), script);
  ASSERT_NE(milter, nullptr);
  auto client = MilterClient::connect(milter->target(), {});
  ASSERT_TRUE(client) << errorName(client.error());
  auto replies = (*client)->sendMessage(folded());
  ASSERT_TRUE(replies) << errorName(replies.error());
  EXPECT_EQ(replies->final_reply, 'a');
  ASSERT_EQ(replies->changes.size(), script.changes.size());
  for (std::size_t i = 0; i < script.changes.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(replies->changes[i].reply, script.changes[i].reply);
    EXPECT_EQ(replies->changes[i].index, script.changes[i].index);
    EXPECT_EQ(replies->changes[i].name, script.changes[i].name);
    EXPECT_EQ(replies->changes[i].value, script.changes[i].value);
  }
  EXPECT_EQ(applyHeaderChanges(folded(), replies->changes, kProtocolHeaderLeadingSpace),
            "DKIM-Signature: v=1; a=rsa-sha256;\r\n\tb=abc\r\n"
            "Received: from a by b;\r\n"
            "\tFri, 11 Dec 2026 12:00:00 +0000\r\n"
            "X-Middle: in the middle\r\n"
            "From: Sender <sender@example.test>\r\n"
            "Subject: replaced\r\n"
            "X-Added: at the end\r\n"
            "\r\n"
            "line one\r\n"
            "line two\r\n");
  // Without the leading-space option the MTA puts one space after the colon.
  const std::vector<HeaderChange> plain = {{'i', 0, "A", "x"}};
  EXPECT_EQ(applyHeaderChanges(folded(), plain, 0).substr(0, 6), "A: x\r\n");
}

// A filter that answers early, drops the connection or never answers is
// seen as such.
TEST(MilterClientTest, ReportsEarlyAnswersDroppedConnectionsAndSilence) {
  auto listener =
      platform::StreamListener::listenInet(platform::parseIpLiteral("127.0.0.1", 0).value());
  ASSERT_TRUE(listener);
  const auto port = platform::portOf(listener->localAddress().value());
  // Serves one connection: negotiates, then answers the n-th command
  // needing a reply with `reply`, or with nothing (0: silent, 'X': close).
  auto serveOne = [&](int n, std::uint8_t reply) {
    auto accepted = listener->accept(5000);
    if (!accepted || !*accepted) return;
    platform::BlockingStream s = std::move(**accepted);
    s.setTimeouts(5000);
    int answered = 0;
    for (;;) {
      std::uint8_t head[5];
      if (!s.readExact(head)) return;
      ByteCursor c{std::span<const std::uint8_t>(head)};
      std::uint32_t length;
      c.readU32(length);
      std::vector<std::uint8_t> payload(length - 1);
      if (!s.readExact(payload)) return;
      const std::uint8_t cmd = head[4];
      if (cmd == 'O') {
        s.writeAll(encodeNegotiation(0x11, 0));
      } else if (cmd != 'D' && cmd != 'A') {
        if (++answered < n) {
          s.writeAll(encodeReply('c'));
        } else if (reply == 'X') {
          return;
        } else if (reply != 0) {
          s.writeAll(encodeReply(reply));
        } else {
          platform::sleepMillis(1500);
          return;
        }
      }
    }
  };
  struct Case {
    std::string name;
    int n;
    std::uint8_t reply;
    std::uint8_t want_final, want_at;
    Error want_error;
    bool pipeline = false;
  };
  const Case cases[] = {
      // C, H, then M is the third command answered.
      {"tempfail at MAIL", 3, 't', 't', 'M', Error::Unexpected},
      {"reject at RCPT", 4, 'r', 'r', 'R', Error::Unexpected},
      {"drop at a header", 6, 'X', 0, 0, Error::EndOfStream},
      {"silent at a header", 6, 0, 0, 0, Error::TimedOut},
      {"tempfail at MAIL, pipelined", 3, 't', 't', 'M', Error::Unexpected, true},
      {"drop at a header, pipelined", 6, 'X', 0, 0, Error::EndOfStream, true},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    auto server = platform::Thread::start([&] { serveOne(tc.n, tc.reply); });
    ASSERT_TRUE(server);
    MilterClientOptions options;
    options.timeout_ms = 500;
    options.pipeline = tc.pipeline;
    auto client = MilterClient::connect(MilterTarget::inet("127.0.0.1", port), options);
    ASSERT_TRUE(client) << errorName(client.error());
    auto replies = (*client)->sendMessage(folded());
    if (tc.want_final != 0) {
      ASSERT_TRUE(replies) << errorName(replies.error());
      EXPECT_EQ(replies->final_reply, tc.want_final);
      EXPECT_EQ(replies->ended_at, tc.want_at);
      // A pipelined session that was answered early cannot go on.
      if (tc.pipeline) {
        EXPECT_FALSE((*client)->sendMessage(folded()));
      }
    } else {
      ASSERT_FALSE(replies);
      // A peer that closes with our data unread resets the connection.
      if (tc.want_error == Error::EndOfStream && replies.error() == Error::ConnectionAborted) {
        SUCCEED();
      } else {
        EXPECT_EQ(replies.error(), tc.want_error) << errorName(replies.error());
      }
      // The client is unusable after that.
      EXPECT_FALSE((*client)->sendMessage(folded()));
    }
    client->reset();
    server->join();
  }
}

TEST(MilterClientTest, ConnectFailsOnAClosedPortAndAMissingSocket) {
  testutil::TempDir dir("mc");
  auto closed = MilterClient::connect(MilterTarget::inet("127.0.0.1", 1), {});
  ASSERT_FALSE(closed);
  EXPECT_EQ(closed.error(), Error::ConnectionRefused);
  auto missing = MilterClient::connect(MilterTarget::unixPath(dir.file("none.sock")), {});
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), Error::FileNotFound);
}

TEST(MilterClientTest, ParsesTargets) {
  struct Case {
    std::string text;
    bool ok;
    std::string described;
  };
  const Case cases[] = {
      {"inet:127.0.0.1:8891", true, "inet:127.0.0.1:8891"},
      {"127.0.0.1:8891", true, "inet:127.0.0.1:8891"},
      {"inet:[::1]:25", true, "inet:::1:25"},
      {"unix:/run/q.sock", true, "unix:/run/q.sock"},
      {"/run/q.sock", true, "unix:/run/q.sock"},
      {"inet:127.0.0.1", false, ""},
      {"inet:localhost:25", false, ""},
      {"inet:127.0.0.1:0", false, ""},
      {"unix:", false, ""},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.text);
    auto t = MilterTarget::parse(tc.text);
    ASSERT_EQ(t.has_value(), tc.ok);
    if (t) {
      EXPECT_EQ(t->describe(), tc.described);
    }
  }
}

TEST(MilterClientTest, ParsesMessageFilesWithEitherLineEnd) {
  std::string lf = kFolded;
  for (std::size_t p; (p = lf.find("\r\n")) != std::string::npos;) lf.erase(p, 1);
  for (const std::string& text : {std::string(kFolded), lf}) {
    auto m = MilterMessage::parse(text, "s@example.test", {"r@example.test"});
    ASSERT_TRUE(m);
    EXPECT_EQ(m->wire(), kFolded);
  }
  EXPECT_FALSE(MilterMessage::parse("no colon here\r\n\r\nbody\r\n", "", {}));
  EXPECT_FALSE(MilterMessage::parse("\tcontinuation first\r\n\r\n", "", {}));
  const std::string generated = generatedMessage(2048).wire();
  EXPECT_LE(generated.size(), 2048u);
  EXPECT_GT(generated.size(), 1900u);
}

}  // namespace
}  // namespace quellsig::testing
