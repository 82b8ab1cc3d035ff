// Connection state: the header and body limits at their exact boundaries,
// the leading-space rule, the folded-value line ends, and what the resets
// keep.
#include <gtest/gtest.h>

#include <string>

#include "milter/packet.h"
#include "tests/milter/milter_fixture.h"
#include "tests/support/log_capture.h"

namespace quellsig::testing {
namespace {

using namespace std::string_literals;

RuntimeSettings withLimits(std::uint64_t headers, std::uint64_t header_bytes,
                           std::uint64_t body_bytes) {
  RuntimeSettings s = defaultRuntimeSettings();
  s.limits.max_headers = headers;
  s.limits.max_header_bytes = header_bytes;
  s.limits.max_body_bytes = body_bytes;
  return s;
}

std::string header(std::string_view name, std::string_view value) {
  return packet('L', std::string(name) + '\0' + std::string(value) + '\0');
}

const std::string kLimitWarning =
    "header limit reached (500 headers, 3000 bytes) from mta-in[192.0.2.1]: message will not be "
    "authenticated";

TEST(MilterConnectionTest, FiveHundredFieldsFitAndTheNextTripsTheLimit) {
  LogCapture log;
  MilterPeer peer(defaultRuntimeSettings(), "192.0.2.1");  // MaxHeaders 500 by default
  std::string fields = packet('D', "C{daemon_name}\0mta-in\0"s);
  for (int i = 0; i < 500; ++i) fields += header("X-N", "abc");
  peer.feed(fields);
  EXPECT_EQ(peer.connection->headers.size(), 500u);
  EXPECT_FALSE(peer.connection->header_limit_hit);
  EXPECT_EQ(log.count(kLimitWarning), 0);

  peer.feed(header("X-N", "abc") + header("X-N", "abc"));
  EXPECT_EQ(peer.connection->headers.size(), 500u);
  EXPECT_TRUE(peer.connection->header_limit_hit);
  EXPECT_EQ(log.count(kLimitWarning), 1);  // only the first breach is logged

  bool evaluated = false;
  peer.worker.hooks.end_of_message = [&](MilterConnection&) {
    evaluated = true;
    return kReplyContinue;
  };
  peer.drainReplies();
  peer.feed(packet('E'));
  EXPECT_FALSE(evaluated);
  EXPECT_EQ(peer.drainReplies(), "\0\0\0\1t"s);
  EXPECT_EQ(log.count("tempfail: header block from mta-in[192.0.2.1] exceeded MaxHeaders=500/"
                      "MaxHeaderBytes=1048576 and could not be inspected in full"),
            1);
  EXPECT_FALSE(peer.connection->header_limit_hit);
  EXPECT_TRUE(peer.connection->headers.empty());
}

TEST(MilterConnectionTest, HeaderByteLimitIsStrict) {
  struct Case {
    const char* name;
    std::uint64_t max_header_bytes;
    bool second_fits;
  } cases[] = {
      {"sum equals the limit", 20, true},
      {"sum one above the limit", 19, false},
      {"no limit", 0, true},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    LogCapture log;
    MilterPeer peer(withLimits(0, tc.max_header_bytes, 0));
    // 7 + 3, then 2 + 8: ten bytes each; colon, space and line end do not count.
    peer.feed(header("Subject", "abc") + header("To", "a@b.test"));
    EXPECT_EQ(peer.connection->headers.size(), tc.second_fits ? 2u : 1u);
    EXPECT_EQ(peer.connection->header_limit_hit, !tc.second_fits);
    EXPECT_EQ(peer.connection->header_bytes, tc.second_fits ? 20u : 10u);
    EXPECT_EQ(log.count("header limit reached (1 headers, 10 bytes) from unknown[local]: message "
                        "will not be authenticated"),
              tc.second_fits ? 0 : 1);
  }
}

TEST(MilterConnectionTest, BodyOfExactlyMaxBodyBytesIsKept) {
  LogCapture log;
  const std::string warning =
      "body exceeds MaxBodyBytes=10 from unknown[local]: message will not be verified or signed";
  MilterPeer peer(withLimits(0, 0, 10));
  peer.feed(packet('B', "12345") + packet('B', "67890"));
  EXPECT_EQ(peer.connection->body, "1234567890");
  EXPECT_FALSE(peer.connection->body_skipped);
  EXPECT_EQ(log.count(warning), 0);

  peer.feed(packet('B', "x") + packet('B', "y"));
  EXPECT_TRUE(peer.connection->body_skipped);
  EXPECT_TRUE(peer.connection->body.empty());
  EXPECT_EQ(log.count(warning), 1);
  // Every chunk is answered 'c', the refused ones too.
  std::string four_continues;
  for (int i = 0; i < 4; ++i) four_continues += kContinue;
  EXPECT_EQ(peer.drainReplies(), four_continues);
}

TEST(MilterConnectionTest, LeadingSpaceRule) {
  struct Case {
    const char* name;
    std::uint32_t flags_offered;
    std::string value;
    std::string stored;
    bool leading_space;
  } cases[] = {
      {"negotiated, one space", 0x100000, " ab", "ab", true},
      {"negotiated, no space", 0x100000, "ab", "ab", false},
      {"negotiated, two spaces", 0x100000, "  ab", " ab", true},
      {"negotiated, a tab stays", 0x100000, "\tab", "\tab", false},
      {"not negotiated", 0, "ab", "ab", true},
      {"not negotiated, a tab stays", 0, "\tab", "\tab", true},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    MilterPeer peer;
    peer.feed(negotiation(6, 0x1ff, tc.flags_offered) + header("X", tc.value));
    ASSERT_EQ(peer.connection->headers.size(), 1u);
    EXPECT_EQ(peer.connection->headers[0].value, tc.stored);
    EXPECT_EQ(peer.connection->headers[0].leading_space, tc.leading_space);
  }
}

TEST(MilterConnectionTest, FoldedValuesAreStoredWithCrLf) {
  MilterPeer peer(withLimits(0, 41, 0));
  // Folded twice, as the MTA hands it over: a bare LF before each
  // continuation. 14 + 27 = 41 bytes as received: exactly the limit.
  const std::string received = "v=1; d=a.test;\n\tb=abc\n\t c=d";
  peer.feed(header("DKIM-Signature", received));
  ASSERT_EQ(peer.connection->headers.size(), 1u);
  EXPECT_EQ(peer.connection->headers[0].value, "v=1; d=a.test;\r\n\tb=abc\r\n\t c=d");
  EXPECT_EQ(peer.connection->header_bytes, 41u);
  // A value that already has CR LF keeps it as it is.
  peer.feed(packet('A') + header("X", "a\r\n\tb"));
  EXPECT_EQ(peer.connection->headers[0].value, "a\r\n\tb");
}

TEST(MilterConnectionTest, EndOfMessageResetKeepsTheConnection) {
  MilterPeer peer;
  peer.feed(packet('D',
                   "C{daemon_name}\0mta-in\0{client_addr}\0"
                   "192.0.2.1\0"
                   "{auth_type}\0plain\0"s) +
            packet('C',
                   "mx.example\0004\x01\x19"
                   "192.0.2.1\0"s) +
            packet('H', "helo") + packet('D', "M{mail_addr}\0a@x\0"s) + packet('M', "<a@x>") +
            packet('D', "R{rcpt_addr}\0b@x\0"s) + packet('R', "<b@x>") + packet('D', "Ti\0Q1\0"s) +
            header("Subject", "hi") + packet('B', "body"));
  peer.feed(packet('E'));
  const MilterConnection& c = *peer.connection;
  EXPECT_TRUE(c.headers.empty());
  EXPECT_TRUE(c.body.empty());
  EXPECT_EQ(c.header_bytes, 0u);
  EXPECT_FALSE(c.sender || c.mail_addr || c.rcpt_addr || c.queue_id);
  EXPECT_TRUE(c.recipients.empty());
  EXPECT_EQ(c.daemon_name, "mta-in");
  EXPECT_EQ(c.client_addr, "192.0.2.1");
  EXPECT_EQ(c.auth_type, "plain");
  EXPECT_EQ(c.helo_name, "helo");
  EXPECT_EQ(c.connect_host, "mx.example");
  EXPECT_EQ(c.connect_family, '4');
}

TEST(MilterConnectionTest, AbortInTheMiddleOfAMessage) {
  std::vector<std::string> seen;
  MilterHooks hooks;
  hooks.end_of_message = [&](MilterConnection& c) {
    for (const auto& h : c.headers) seen.push_back(h.name);
    seen.push_back("body=" + c.body);
    return kReplyContinue;
  };
  MilterPeer peer(defaultRuntimeSettings(), "", hooks);
  peer.feed(header("Old", "1") + packet('B', "old") + packet('A') + header("New", "2") +
            packet('B', "new") + packet('E'));
  EXPECT_EQ(seen, (std::vector<std::string>{"New", "body=new"}));
}

TEST(MilterConnectionTest, QuitNewConnectionForgetsTheSession) {
  MilterPeer peer(defaultRuntimeSettings(), "192.0.2.9");
  peer.feed(negotiation(6, 0x1ff, 0x1fffff) +
            packet('D',
                   "C{daemon_name}\0mta-in\0{client_addr}\0"
                   "192.0.2.1\0"
                   "{client_name}\0mx\0{auth_type}\0plain\0"s) +
            packet('C',
                   "mx.example\0004\x01\x19"
                   "192.0.2.1\0"s) +
            packet('H', "helo") + packet('M', "<a@x>") + header("Subject", "hi"));
  peer.feed(packet('K'));
  const MilterConnection& c = *peer.connection;
  EXPECT_FALSE(c.daemon_name || c.client_addr || c.client_name || c.auth_type);
  EXPECT_FALSE(c.connect_host || c.helo_name || c.sender);
  EXPECT_EQ(c.connect_family, 'U');
  EXPECT_EQ(c.actions, 0u);
  EXPECT_EQ(c.protocol_flags, 0u);
  EXPECT_TRUE(c.headers.empty());
  EXPECT_EQ(c.peer_label, "192.0.2.9");
  EXPECT_TRUE(peer.registrar.open());
  EXPECT_EQ(connectionName(c), "unknown");
}

TEST(MilterConnectionTest, PeerLabelIsCutAndNamesFallBack) {
  MilterPeer peer(defaultRuntimeSettings(), std::string(80, 'p'));
  EXPECT_EQ(peer.connection->peer_label, std::string(64, 'p'));
  MilterPeer local;
  EXPECT_EQ(connectionName(*local.connection), "unknown");
  EXPECT_EQ(connectionPeer(*local.connection), "local");
}

}  // namespace
}  // namespace quellsig::testing
