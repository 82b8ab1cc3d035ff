#include "engine/message.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quellsig {
namespace {

TEST(NormalizeLineEndings, EveryLineEndBecomesCrLf) {
  struct Case {
    const char* name;
    std::string in;
    std::string want;
  } cases[] = {
      {"bare LF lines", "A: 1\nB: 2\n\nbody\n", "A: 1\r\nB: 2\r\n\r\nbody\r\n"},
      {"CR LF kept", "a\r\nb\r\n", "a\r\nb\r\n"},
      {"bare CR inside", "a\rb", "a\r\nb"},
      {"CR as last byte", "a\r", "a\r\n"},
      {"LF CR is two breaks", "a\n\rb", "a\r\n\r\nb"},
      {"CR CR LF", "a\r\r\nb", "a\r\n\r\nb"},
      {"empty", "", ""},
  };
  for (const auto& tc : cases) {
    auto got = normalizeLineEndings(tc.in);
    ASSERT_TRUE(got.has_value()) << tc.name;
    EXPECT_EQ(*got, tc.want) << tc.name;
  }
}

struct Field {
  std::string name, value;
  bool leading_space;
  bool operator==(const Field&) const = default;
};

std::vector<Field> fieldsOf(const Message& m) {
  std::vector<Field> out;
  for (const auto& h : m.headers) {
    out.push_back({std::string(h.name), std::string(h.value), h.leading_space});
  }
  return out;
}

TEST(ParseMessage, HeaderFieldsAndBody) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<Field> fields;
    std::string body;
  } cases[] = {
      {"folded value", "Subject: a\r\n b\r\n\r\nhi\r\n", {{"Subject", "a\r\n b", true}}, "hi\r\n"},
      {"no space after colon", "To:x\r\n\r\n", {{"To", "x", false}}, ""},
      {"two spaces keep one", "To:  x\r\n\r\n", {{"To", " x", true}}, ""},
      {"space before colon stays in name", "From : a\r\n\r\n", {{"From ", "a", true}}, ""},
      {"empty value", "X:\r\n\r\n", {{"X", "", false}}, ""},
      {"stray first continuation and colonless line dropped",
       " lost\r\nnocolon\r\nA: 1\r\n\r\nb",
       {{"A", "1", true}},
       "b"},
      {"no empty line: all header, empty body",
       "A: 1\r\nB: 2\r\n",
       {{"A", "1", true}, {"B", "2", true}},
       ""},
      {"tab continuation",
       "A: 1\r\n\t2\r\nB: 3\r\n\r\n",
       {{"A", "1\r\n\t2", true}, {"B", "3", true}},
       ""},
      {"body starts after the first blank line", "A: 1\r\n\r\n\r\nx", {{"A", "1", true}}, "\r\nx"},
      {"bare LF file without normalising has no body",
       "A: 1\nB: 2\n\nbody\n",
       {{"A", "1\nB: 2\n\nbody", true}},
       ""},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    auto m = parseMessage(tc.text);
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(fieldsOf(*m), tc.fields);
    EXPECT_EQ(m->body, tc.body);
  }
}

TEST(ParseMessage, FieldsAreSlicesOfTheBuffer) {
  std::string text = "A: 1\r\n\r\nbody";
  auto m = parseMessage(text);
  ASSERT_TRUE(m.has_value());
  ASSERT_EQ(m->headers.size(), 1u);
  EXPECT_EQ(m->headers[0].name.data(), text.data());
  EXPECT_EQ(m->body.data(), text.data() + 8);
}

TEST(RawFieldText, ReproducesTheFieldAsItStood) {
  std::string text = "Subject: a\r\n b\r\nTo:x\r\n\r\n";
  auto m = parseMessage(text);
  ASSERT_TRUE(m.has_value());
  auto raw = buildRawHeaderList(*m);
  ASSERT_TRUE(raw.has_value());
  EXPECT_EQ(*raw, (std::vector<std::string>{"Subject: a\r\n b", "To:x"}));
}

TEST(MatchingName, TrimsTrailingBlanksAndComparesCaseInsensitively) {
  EXPECT_EQ(matchingName("From \t: a"), "From");
  EXPECT_EQ(matchingName(" From: a"), " From");
  EXPECT_EQ(matchingName("no colon"), "");
  EXPECT_TRUE(namesEqual(matchingName("FROM : a"), "from"));
  EXPECT_FALSE(namesEqual("from", "fro"));
  EXPECT_FALSE(namesEqual("a[", "a{"));  // only letters fold
  EXPECT_TRUE(namesEqual("Message-ID", "message-id"));
}

}  // namespace
}  // namespace quellsig
