// Each command's payload edge cases, answered over a real socket pair, with
// the exact reply bytes; the packet encoders byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "milter/packet.h"
#include "tests/milter/milter_fixture.h"

namespace quellsig::testing {
namespace {

using namespace std::string_literals;

std::string reply(char byte) { return "\0\0\0\1"s + byte; }

TEST(MilterProtocolTest, CommandRepliesByteForByte) {
  struct Case {
    const char* name;
    std::string input;
    std::string replies;
    bool stays_open;
  } cases[] = {
      {"O offering everything", negotiation(6, 0x1ff, 0x1fffff),
       "\0\0\0\x0dO"s + be32(6) + be32(0x11) + be32(0x100000), true},
      {"O offering add-headers only, version 2", negotiation(2, 0x01, 0),
       "\0\0\0\x0dO"s + be32(6) + be32(0x01) + be32(0), true},
      {"O with extra bytes", packet('O', be32(6) + be32(0x10) + be32(0x100000) + "xyz"),
       "\0\0\0\x0dO"s + be32(6) + be32(0x10) + be32(0x100000), true},
      {"O shorter than 12 bytes", packet('O', be32(6) + be32(0x1ff) + "\0\0\0"s), "", false},
      {"N", packet('N'), "\0\0\0\1\x63"s, true},
      {"C in full",
       packet('C',
              "mx.example\0004\x01\x19"s
              "192.0.2.1\0"s),
       reply('c'), true},
      {"C without its NUL", packet('C', "mx.example"), reply('c'), true},
      {"C with two bytes after the host", packet('C', "mx.example\0004\x01"s), reply('c'), true},
      {"H with its NUL", packet('H', "helo.example\0"s), reply('c'), true},
      {"M with ESMTP arguments", packet('M', "<a@example.test>\0size=324\0"s), reply('c'), true},
      {"M empty", packet('M'), reply('c'), true},
      {"R", packet('R', "<b@example.test>\0"s), reply('c'), true},
      {"L in full", packet('L', "Subject\0 hi\0"s), reply('c'), true},
      {"L without its NUL", packet('L', "Subject"), reply('c'), true},
      {"B", packet('B', "body\r\n"), reply('c'), true},
      {"E without evaluation hook", packet('E'), reply('a'), true},
      {"T (DATA)", packet('T'), reply('c'), true},
      {"U (unknown SMTP command)", packet('U', "XYZZY\0"s), reply('c'), true},
      {"F", packet('F'), reply('c'), true},
      {"byte outside A-R", packet('\x7f', "x"), reply('c'), true},
      {"A", packet('A'), "", true},
      {"K", packet('K'), "", true},
      {"D", packet('D', "Cj\0mx\0"s), "", true},
      {"Q", packet('Q'), "", false},
      {"Q then more in the same read", packet('Q') + packet('N') + packet('N'), "", false},
      {"length 0", "\0\0\0\0N"s, "", false},
      {"length 1,048,577", be32(1048577) + "L", "", false},
      {"length 1,048,576 waits for its bytes", be32(1048576) + "B", "", true},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    MilterPeer peer;
    const ConnectionStatus status = peer.feed(tc.input);
    EXPECT_EQ(status == ConnectionStatus::Open, tc.stays_open);
    EXPECT_EQ(peer.registrar.open(), tc.stays_open);
    EXPECT_EQ(peer.replies(), tc.replies);
  }
}

TEST(MilterProtocolTest, PayloadsAreStoredAsSplit) {
  MilterPeer peer;
  peer.feed(negotiation(6, 0x1ff, 0) +
            packet('C',
                   "mx.example\0X\x01\x19"s
                   "192.0.2.1\0"s) +
            packet('H', "helo.example\0"s) + packet('M', "<a@example.test>\0size=324\0"s) +
            packet('R', "<b@example.test>\0NOTIFY=NEVER\0"s) + packet('R', "<c@example.test>"));
  const MilterConnection& c = *peer.connection;
  EXPECT_EQ(c.connect_host, "mx.example");
  EXPECT_EQ(c.connect_family, 'U');  // 'X' is not a family
  EXPECT_EQ(c.helo_name, "helo.example");
  EXPECT_EQ(c.sender, "<a@example.test>");
  EXPECT_EQ(c.recipients, (std::vector<std::string>{"<b@example.test>", "<c@example.test>"}));

  // A connect without room for family and port stores nothing.
  peer.feed(packet('C', "other.example\0004\x01"s));
  EXPECT_EQ(peer.connection->connect_host, "mx.example");
}

TEST(MilterProtocolTest, MacrosAreStoredByNameWhateverTheStage) {
  MilterPeer peer;
  peer.feed(packet('D',
                   "C{daemon_name}\0mta-in\0j\0mx\0client_addr\0"
                   "192.0.2.1\0"
                   "{client_addr}\0"
                   "192.0.2.2\0i\0QUEUE1\0{mail_addr}\0a@x\0"s) +
            packet('D', "E{auth_type}\0plain\0client_name"s));
  const MilterConnection& c = *peer.connection;
  EXPECT_EQ(c.daemon_name, "mta-in");
  EXPECT_EQ(c.client_addr, "192.0.2.2");  // the later spelling wins
  EXPECT_EQ(c.queue_id, "QUEUE1");
  EXPECT_EQ(c.mail_addr, "a@x");
  EXPECT_EQ(c.auth_type, "plain");
  // A name without its NUL ends the parsing; a value without one runs to the end.
  EXPECT_FALSE(c.client_name.has_value());
  peer.feed(packet('D', "M{rcpt_addr}\0b@x"s) + packet('D', ""));
  EXPECT_EQ(peer.connection->rcpt_addr, "b@x");
}

TEST(MilterEncodingTest, InsertHeaderPacket) {
  struct Case {
    const char* name;
    std::string_view value;
    bool leading_space;
    std::string want;
  } cases[] = {
      {"without leading space", "v=1; a=rsa-sha256;\r\n\tb=abc", false,
       "\0\0\0\x2ei\0\0\0\0DKIM-Signature\0v=1; a=rsa-sha256;\n\tb=abc\0"s},
      {"with leading space", "x; dkim=pass", true,
       "\0\0\0\x22i\0\0\0\0DKIM-Signature\0 x; dkim=pass\0"s},
      {"lone CR and LF stay", "a\rb\nc", false, "\0\0\0\x1ai\0\0\0\0DKIM-Signature\0a\rb\nc\0"s},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    std::vector<std::uint8_t> out;
    ByteWriter w(out);
    ASSERT_TRUE(encodeInsertHeader(w, "DKIM-Signature", tc.value, tc.leading_space));
    EXPECT_EQ(bytesOf(out), tc.want);
  }
}

TEST(MilterEncodingTest, FixedPackets) {
  std::vector<std::uint8_t> out;
  ByteWriter w(out);
  ASSERT_TRUE(encodeDeleteHeader(w, 1));
  EXPECT_EQ(out.size(), 4u + 29u);
  EXPECT_EQ(bytesOf(out),
            "\0\0\0\x1dm\0\0\0\1"
            "Authentication-Results\0\0"s);
  EXPECT_EQ(bytesOf(encodeReply('t')), "\0\0\0\1t"s);
  EXPECT_EQ(bytesOf(encodeNegotiation(0x11, 0x100000)), "\0\0\0\x0dO\0\0\0\6\0\0\0\x11\0\x10\0\0"s);
}

}  // namespace
}  // namespace quellsig::testing
