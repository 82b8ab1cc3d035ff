#include "dns/message.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quellsig {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Small builder for hand-made replies.
struct Packet {
  Bytes b;
  Packet& u8(std::uint8_t v) {
    b.push_back(v);
    return *this;
  }
  Packet& u16(std::uint16_t v) { return u8(std::uint8_t(v >> 8)).u8(std::uint8_t(v)); }
  Packet& u32(std::uint32_t v) { return u16(std::uint16_t(v >> 16)).u16(std::uint16_t(v)); }
  Packet& raw(const Bytes& bytes) {
    b.insert(b.end(), bytes.begin(), bytes.end());
    return *this;
  }
  Packet& label(const std::string& s) {
    u8(std::uint8_t(s.size()));
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  Packet& header(std::uint16_t id, std::uint16_t flags, std::uint16_t qd, std::uint16_t an) {
    return u16(id).u16(flags).u16(qd).u16(an).u16(0).u16(0);
  }
  // Answer fixed part: TYPE, CLASS IN, TTL, RDLENGTH.
  Packet& rr(std::uint16_t type, std::uint32_t ttl, std::uint16_t rdlength) {
    return u16(type).u16(1).u32(ttl).u16(rdlength);
  }
};

// Owner "a.b" at offset 12, then a TXT record with the given RDATA.
Bytes txtReply(const Bytes& rdata, std::uint16_t rdlength) {
  Packet p;
  p.header(7, 0x8180, 0, 1).label("a").label("b").u8(0).rr(kDnsTypeTxt, 300, rdlength).raw(rdata);
  return p.b;
}

Bytes ownerOfLabels(const std::vector<std::size_t>& sizes) {
  Packet p;
  p.header(1, 0x8180, 0, 1);
  for (std::size_t n : sizes) p.label(std::string(n, 'x'));
  p.u8(0).rr(kDnsTypeTxt, 1, 0);
  return p.b;
}

TEST(EncodeQueryTest, LayoutCarriesCaseAndOptRecord) {
  auto q = encodeQuery("Sel._domainkey.Example", 0xbeef);
  ASSERT_TRUE(q);
  Packet want;
  want.header(0xbeef, 0x0100, 1, 0);
  want.b[11] = 1;  // ARCOUNT
  want.label("Sel").label("_domainkey").label("Example").u8(0).u16(16).u16(1);
  want.u8(0).u16(41).u16(1232).u16(0).u16(0).u16(0);
  EXPECT_EQ(*q, want.b);
}

TEST(EncodeQueryTest, NameLimitsAndDots) {
  const Bytes root = {0};
  const Bytes a_example = Packet().label("a").label("example").u8(0).b;
  std::string label63(63, 'l');
  std::string labels127;
  for (int i = 0; i < 127; ++i) labels127 += (i ? ".a" : "a");
  std::string name253 = std::string(63, 'a') + "." + std::string(63, 'b') + "." +
                        std::string(63, 'c') + "." + std::string(61, 'd');
  struct Case {
    const char* name;
    std::string input;
    Error error;  // when qname is empty
    Bytes qname;
  } cases[] = {
      {"empty", "", Error::Unexpected, root},
      {"single dot", ".", Error::Unexpected, root},
      {"two dots", "..", Error::Unexpected, root},
      {"trailing dot", "a.example.", Error::Unexpected, a_example},
      {"leading dot", ".a.example", Error::Unexpected, a_example},
      {"empty label", "a..b", Error::EmptyLabel, {}},
      {"63-byte label", label63, Error::Unexpected, Packet().label(label63).u8(0).b},
      {"64-byte label", label63 + "l", Error::LabelTooLong, {}},
      {"127 labels", labels127, Error::Unexpected, {}},
      {"128 labels exceed 253 bytes", labels127 + ".a", Error::NameTooLong, {}},
      {"253 bytes", name253, Error::Unexpected, {}},
      {"254 bytes", name253 + "d", Error::NameTooLong, {}},
      {"254 bytes with trailing dot", name253 + ".", Error::NameTooLong, {}},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    auto q = encodeQuery(tc.input, 1);
    if (tc.error != Error::Unexpected) {
      ASSERT_FALSE(q);
      EXPECT_EQ(q.error(), tc.error);
      continue;
    }
    ASSERT_TRUE(q) << errorName(q.error());
    Bytes qname(q->begin() + 12, q->end() - 4 - 11);
    if (!tc.qname.empty()) {
      EXPECT_EQ(qname, tc.qname);
    }
    // Whatever the name, it must read back as written (minus edge dots).
    auto back = readName(*q, 12);
    ASSERT_TRUE(back);
    std::string expect = tc.input;
    if (!expect.empty() && expect.front() == '.') expect.erase(0, 1);
    if (!expect.empty() && expect.back() == '.') expect.pop_back();
    EXPECT_EQ(*back, expect);
  }
}

TEST(ProbeQueryTest, IsTheFixedNsQueryForTheRoot) {
  Packet want;
  want.header(1, 0x0100, 1, 0).u8(0).u16(2).u16(1);
  EXPECT_EQ(Bytes(kProbeQuery.begin(), kProbeQuery.end()), want.b);
}

TEST(ParseResponseTest, HeaderFlagsAndEmptyReplies) {
  Bytes eleven(11, 0);
  auto short_reply = parseResponse(eleven);
  ASSERT_FALSE(short_reply);
  EXPECT_EQ(short_reply.error(), Error::PacketTooShort);

  Packet p;
  p.header(0x1234, 0x8383, 0, 0);  // TC set, RCODE 3
  auto r = parseResponse(p.b);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->id, 0x1234);
  EXPECT_EQ(r->rcode, 3);
  EXPECT_TRUE(r->truncated);
  EXPECT_TRUE(r->records.empty());
}

TEST(ParseResponseTest, RecordDecodingTable) {
  // Question "q" TXT IN at offset 12, so a pointer to 12 means "q".
  auto withQuestion = [](std::uint16_t an) {
    Packet p;
    p.header(9, 0x8180, 1, an).label("q").u8(0).u16(16).u16(1);
    return p;
  };
  struct Case {
    const char* name;
    Bytes packet;
    Error error;  // Unexpected: parse must succeed
    std::vector<DnsAnswerRecord> records;
  };
  std::vector<Case> cases;
  cases.push_back({"txt strings joined",
                   txtReply({3, 'a', 'b', 'c', 2, 'd', 'e'}, 7),
                   Error::Unexpected,
                   {{"a.b", "abcde", 300, 16}}});
  cases.push_back({"txt string past rdata",
                   txtReply({3, 'a', 'b', 'c', 9, 'd', 'e'}, 7),
                   Error::Unexpected,
                   {{"a.b", "abc", 300, 16}}});
  cases.push_back({"empty txt rdata", txtReply({}, 0), Error::Unexpected, {{"a.b", "", 300, 16}}});
  cases.push_back({"rdata past message is dropped", txtReply({1, 'x'}, 9), Error::Unexpected, {}});
  {
    Packet p = withQuestion(1);
    p.u16(0xc00c).rr(kDnsTypeTxt, 0xffffffff, 2).u8(1).u8('z');
    cases.push_back(
        {"ttl all ones, compressed owner", p.b, Error::Unexpected, {{"q", "z", 4294967295u, 16}}});
  }
  {
    Packet p = withQuestion(5);
    for (int i = 0; i < 2; ++i) p.u16(0xc00c).rr(kDnsTypeTxt, 60, 2).u8(1).u8('0' + i);
    cases.push_back({"ancount 5, message ends after 2",
                     p.b,
                     Error::Unexpected,
                     {{"q", "0", 60, 16}, {"q", "1", 60, 16}}});
  }
  {
    Packet p = withQuestion(2);
    p.u16(0xc00c).rr(kDnsTypeCname, 60, 2).u16(0xc00c);
    p.u16(0xc00c).rr(kDnsTypeMx, 60, 4).u16(10).u16(0xc00c);
    cases.push_back({"cname and mx names",
                     p.b,
                     Error::Unexpected,
                     {{"q", "q", 60, kDnsTypeCname}, {"q", "q", 60, kDnsTypeMx}}});
  }
  {
    Packet p = withQuestion(1);
    p.u16(0xc00c).rr(kDnsTypeMx, 60, 2).u16(10);
    cases.push_back({"mx rdlength 2", p.b, Error::PacketTooShort, {}});
  }
  {
    Packet p = withQuestion(1);
    p.u16(0xc00c).rr(1, 60, 4).u32(0x7f000001);
    cases.push_back({"other type copied raw",
                     p.b,
                     Error::Unexpected,
                     {{"q", std::string("\x7f\x00\x00\x01", 4), 60, 1}}});
  }
  {
    Packet p;
    p.header(1, 0x8180, 0, 1).u16(0xc00c);  // owner points at itself
    p.rr(16, 1, 0);
    cases.push_back({"pointer loop", p.b, Error::TooManyPointers, {}});
  }
  {
    Packet p;
    p.header(1, 0x8180, 0, 1).u8(0xc0).u8(14);  // offset 14 == L
    cases.push_back({"pointer to end of message", p.b, Error::InvalidPointer, {}});
  }
  {
    Packet p;
    p.header(1, 0x8180, 0, 1).u8(0xc0);
    cases.push_back({"truncated pointer", p.b, Error::PacketTooShort, {}});
  }
  {
    Packet p;
    p.header(1, 0x8180, 0, 1).u8(0x40).raw(Bytes(64, 'x')).u8(0).rr(16, 1, 0);
    cases.push_back({"64-byte label in owner", p.b, Error::LabelTooLong, {}});
  }
  cases.push_back({"owner of 253 bytes",
                   ownerOfLabels({63, 63, 63, 61}),
                   Error::Unexpected,
                   {{std::string(63, 'x') + "." + std::string(63, 'x') + "." +
                         std::string(63, 'x') + "." + std::string(61, 'x'),
                     "", 1, 16}}});
  cases.push_back(
      {"owner reaching 254 bytes", ownerOfLabels({63, 63, 63, 62}), Error::NameTooLong, {}});
  cases.push_back({"owner of 128 labels",
                   ownerOfLabels(std::vector<std::size_t>(128, 1)),
                   Error::TooManyLabels,
                   {}});
  {
    Packet p;
    p.header(1, 0x8180, 1, 0).label("q").u8(0).u16(16);  // QCLASS missing
    cases.push_back({"question past end", p.b, Error::PacketTooShort, {}});
  }

  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    auto r = parseResponse(tc.packet);
    if (tc.error != Error::Unexpected) {
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error(), tc.error);
      continue;
    }
    ASSERT_TRUE(r) << errorName(r.error());
    EXPECT_EQ(r->records, tc.records);
  }
}

TEST(NameTest, ReadAndSkipDifferOnPointersAndTruncation) {
  Packet p;
  p.header(0, 0, 0, 0).label("abc").u8(0);  // "abc" at 12..16
  p.u16(0xc00c);                            // pointer at 17
  p.label("x");                             // "x" without terminator at 19
  auto via_pointer = readName(p.b, 17);
  ASSERT_TRUE(via_pointer);
  EXPECT_EQ(*via_pointer, "abc");
  auto after_pointer = skipName(p.b, 17);
  ASSERT_TRUE(after_pointer);
  EXPECT_EQ(*after_pointer, 19u);
  auto after_abc = skipName(p.b, 12);
  ASSERT_TRUE(after_abc);
  EXPECT_EQ(*after_abc, 17u);

  // A name running to the end is read as far as it goes but cannot be skipped.
  auto unterminated = readName(p.b, 19);
  ASSERT_TRUE(unterminated);
  EXPECT_EQ(*unterminated, "x");
  auto skip_unterminated = skipName(p.b, 19);
  ASSERT_FALSE(skip_unterminated);
  EXPECT_EQ(skip_unterminated.error(), Error::PacketTooShort);

  Bytes label_past_end = Packet().header(0, 0, 0, 0).u8(5).u8('a').b;
  EXPECT_EQ(readName(label_past_end, 12).error(), Error::PacketTooShort);
  EXPECT_EQ(skipName(label_past_end, 12).error(), Error::PacketTooShort);
  EXPECT_EQ(skipName(ownerOfLabels(std::vector<std::size_t>(128, 1)), 12).error(),
            Error::TooManyLabels);
}

}  // namespace
}  // namespace quellsig
