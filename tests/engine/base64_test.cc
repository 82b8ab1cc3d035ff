#include "engine/base64.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace quellsig {
namespace {

std::vector<std::uint8_t> bytesOf(std::string_view s) { return {s.begin(), s.end()}; }

// RFC 4648 section 10.
TEST(Base64, EncodesTheRfcVectors) {
  struct Case {
    const char* in;
    const char* want;
  } cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& tc : cases) {
    EXPECT_EQ(base64Encode(bytesOf(tc.in)), tc.want) << "'" << tc.in << "'";
    auto back = decodeBase64Tag(tc.want);
    ASSERT_TRUE(back.has_value()) << tc.want;
    EXPECT_EQ(*back, bytesOf(tc.in)) << tc.want;
  }
  const std::vector<std::uint8_t> high = {0xFB, 0xFF, 0xBF};
  EXPECT_EQ(base64Encode(high), "+/+/");
  EXPECT_EQ(decodeBase64Tag("+/+/").value(), high);
}

TEST(DecodeBase64Tag, WhitespaceLengthAndPadding) {
  struct Case {
    const char* name;
    std::string text;
    std::optional<std::string> want;  // nullopt: fails
  } cases[] = {
      {"folded over lines", "Zm9v\r\n\tYm\r\n Fy", "foobar"},
      {"blanks at both ends", " \t\r\nZm8=\r\n ", "fo"},
      {"blanks inside the padding", "Zg= =", "f"},
      {"empty", "", ""},
      {"only whitespace", " \r\n\t ", ""},
      {"length not a multiple of 4", "Zm9", std::nullopt},
      {"unpadded tail", "Zg", std::nullopt},
      {"one padding byte short", "Zg=", std::nullopt},
      {"padding in an early quantum", "Zg==Zm9v", std::nullopt},
      {"three padding bytes", "Z===", std::nullopt},
      {"only padding", "====", std::nullopt},
      {"data after padding", "Zg=A", std::nullopt},
      {"URL-safe alphabet", "-_-_", std::nullopt},
      {"other separator", "Zm9v;Ym", std::nullopt},
      {"NUL byte", std::string("Zm9\0", 4), std::nullopt},
      {"non-ASCII byte", "Zm9\xC3", std::nullopt},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    auto got = decodeBase64Tag(tc.text);
    if (!tc.want) {
      ASSERT_FALSE(got.has_value());
      EXPECT_EQ(got.error(), Error::InvalidArgument);
    } else {
      ASSERT_TRUE(got.has_value());
      EXPECT_EQ(*got, bytesOf(*tc.want));
    }
  }
}

}  // namespace
}  // namespace quellsig
