#include "platform/byte_cursor.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/byte_writer.h"

namespace quellsig {
namespace {

using namespace std::string_view_literals;

TEST(ByteCursorTest, IntegersAreBigEndianAndShortReadsDoNotMove) {
  const std::array<std::uint8_t, 7> bytes = {0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc, 0xde};
  ByteCursor c(bytes);
  std::uint32_t u32 = 0;
  ASSERT_TRUE(c.readU32(u32));
  EXPECT_EQ(u32, 0x12345678u);
  // Three bytes left: a 32-bit read fails and leaves them all readable.
  EXPECT_FALSE(c.readU32(u32));
  EXPECT_EQ(c.offset(), 4u);
  std::uint16_t u16 = 0;
  ASSERT_TRUE(c.readU16(u16));
  EXPECT_EQ(u16, 0x9abcu);
  EXPECT_FALSE(c.readU16(u16));
  std::uint8_t u8 = 0;
  ASSERT_TRUE(c.readU8(u8));
  EXPECT_EQ(u8, 0xde);
  EXPECT_TRUE(c.atEnd());
  EXPECT_FALSE(c.readU8(u8));
  EXPECT_FALSE(c.skip(1));
}

TEST(ByteCursorTest, LengthPrefixedReadsNeedTheWholeBody) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    bool two_byte_length;
    bool ok;
    std::string_view body;
  } cases[] = {
      {"u8 whole", {3, 'a', 'b', 'c', 'x'}, false, true, "abc"},
      {"u8 empty body", {0, 'x'}, false, true, ""},
      {"u8 body cut", {4, 'a', 'b', 'c'}, false, false, ""},
      {"u8 no length", {}, false, false, ""},
      {"u16 whole", {0, 2, 'h', 'i'}, true, true, "hi"},
      {"u16 body cut", {1, 0, 'h', 'i'}, true, false, ""},
      {"u16 half a length", {0}, true, false, ""},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    ByteCursor c(tc.bytes);
    ByteCursor body(std::span<const std::uint8_t>{});
    const bool ok =
        tc.two_byte_length ? c.readU16LengthPrefixed(body) : c.readU8LengthPrefixed(body);
    ASSERT_EQ(ok, tc.ok);
    if (ok) {
      EXPECT_EQ(ByteCursor::asText(body.rest()), tc.body);
      EXPECT_EQ(c.offset(), (tc.two_byte_length ? 2u : 1u) + tc.body.size());
    } else {
      EXPECT_EQ(c.offset(), 0u);
    }
  }
}

TEST(ByteCursorTest, NulTerminatedStrings) {
  ByteCursor c("name\0value\0tail"sv);
  std::string_view s;
  ASSERT_TRUE(c.readCString(s));
  EXPECT_EQ(s, "name");
  ASSERT_TRUE(c.readCString(s));
  EXPECT_EQ(s, "value");
  // No NUL left: the strict read fails without moving, the lenient one takes
  // the rest.
  EXPECT_FALSE(c.readCString(s));
  EXPECT_EQ(c.remaining(), 4u);
  EXPECT_EQ(c.readCStringOrRest(), "tail");
  EXPECT_TRUE(c.atEnd());
  EXPECT_EQ(c.readCStringOrRest(), "");

  ByteCursor empty_first("\0x"sv);
  ASSERT_TRUE(empty_first.readCString(s));
  EXPECT_EQ(s, "");
  EXPECT_EQ(empty_first.remaining(), 1u);
}

TEST(ByteWriterTest, GrowingTargetAppendsAfterWhatIsThere) {
  std::vector<std::uint8_t> out = {0xff};
  ByteWriter w(out);
  ByteWriter::Prefix p;
  EXPECT_TRUE(w.beginU32Prefix(p));
  w.writeU8('O');
  w.writeU16(0x0102);
  w.writeU32(0x03040506);
  w.writeText("ab");
  EXPECT_TRUE(w.endPrefix(p));
  ASSERT_TRUE(w.status());
  EXPECT_EQ(w.written(), 13u);
  EXPECT_EQ(out, (std::vector<std::uint8_t>{0xff, 0, 0, 0, 9, 'O', 1, 2, 3, 4, 5, 6, 'a', 'b'}));
  w.abandon();
  EXPECT_EQ(out, std::vector<std::uint8_t>{0xff});
}

TEST(ByteWriterTest, FixedTargetReportsOverflowAndStaysFailed) {
  std::array<std::uint8_t, 5> buf{};
  ByteWriter w(buf);
  EXPECT_TRUE(w.writeU32(0xdeadbeef));
  // Two bytes do not fit in the one left: nothing of them is written.
  EXPECT_FALSE(w.writeU16(0x1234));
  EXPECT_EQ(w.written(), 4u);
  EXPECT_FALSE(w.writeU8(1));  // sticky, though one byte would fit
  ASSERT_FALSE(w.status());
  EXPECT_EQ(w.status().error(), Error::NoSpaceLeft);
  EXPECT_EQ(buf[4], 0);
}

TEST(ByteWriterTest, PrefixTooShortForItsBody) {
  std::vector<std::uint8_t> out;
  ByteWriter w(out);
  ByteWriter::Prefix p;
  w.beginU16Prefix(p);
  w.writeBytes(std::vector<std::uint8_t>(0x10000, 'x'));
  EXPECT_FALSE(w.endPrefix(p));
  EXPECT_EQ(w.status().error(), Error::PacketTooLarge);

  std::vector<std::uint8_t> fits;
  ByteWriter v(fits);
  v.beginU16Prefix(p);
  v.writeBytes(std::vector<std::uint8_t>(0xffff, 'x'));
  EXPECT_TRUE(v.endPrefix(p));
  ByteCursor c(fits);
  std::uint16_t n = 0;
  ASSERT_TRUE(c.readU16(n));
  EXPECT_EQ(n, 0xffff);
}

}  // namespace
}  // namespace quellsig
