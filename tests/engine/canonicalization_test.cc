#include "engine/canonicalization.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/message.h"
#include "tests/support/reference_canonicalization.h"

namespace quellsig {
namespace {

constexpr auto S = Canonicalization::Simple;
constexpr auto R = Canonicalization::Relaxed;

std::string canon(std::string_view body, Canonicalization mode) {
  BodyCanonicalizer c(mode);
  EXPECT_TRUE(c.feed(body).has_value());
  auto out = c.finish();
  EXPECT_TRUE(out.has_value());
  return out.value_or("");
}

TEST(BodyCanonicalizer, KnownBodies) {
  struct Case {
    const char* name;
    std::string body;
    std::string simple, relaxed;
  } cases[] = {
      {"empty", "", "\r\n", ""},
      {"one CR LF", "\r\n", "\r\n", ""},
      {"trailing blank lines", "text\r\n\r\n\r\n", "text\r\n", "text\r\n"},
      {"no final line break", "text", "text\r\n", "text\r\n"},
      {"whitespace runs", " \ta  b  \r\n", " \ta  b  \r\n", " a b\r\n"},
      {"whitespace line between text", "a\r\n   \r\nb\r\n", "a\r\n   \r\nb\r\n", "a\r\n\r\nb\r\n"},
      {"whitespace line at the end", "a\r\n \t \r\n", "a\r\n \t \r\n", "a\r\n"},
      {"bare CR at the end", "a\r", "a\r\r\n", "a\r\r\n"},
      {"bare LF inside a line", "a\nb\r\n", "a\nb\r\n", "a\nb\r\n"},
      {"bare CR inside a line", "a\rb\r\n", "a\rb\r\n", "a\rb\r\n"},
      {"space before a bare CR", "a \rb", "a \rb\r\n", "a \rb\r\n"},
      {"CR CR LF", "a\r\r\n", "a\r\r\n", "a\r\r\n"},
      {"blank lines held then text", "a\r\n\r\n\r\nb", "a\r\n\r\n\r\nb\r\n", "a\r\n\r\n\r\nb\r\n"},
      {"only whitespace", "  \t ", "  \t \r\n", ""},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    EXPECT_EQ(canon(tc.body, S), tc.simple);
    EXPECT_EQ(canon(tc.body, R), tc.relaxed);
  }
}

TEST(BodyCanonicalizer, EverySplitGivesTheOneCallBytes) {
  const std::vector<std::string> bodies = {
      "line one\r\nline two\r\n", "text\r\n\r\n\r\n", "a  \t b \r\n \r\n\t\r\nc\r\n\r\n",
      "ends in bare CR\r",        "x\r\r\n\r\n\r",    "  lead\r\n\r\n  \r\nmid  \r\n",
      "a\nb\r\r\nc \r\n",
  };
  for (Canonicalization mode : {S, R}) {
    for (const std::string& body : bodies) {
      const std::string whole = canon(body, mode);
      for (std::size_t cut = 0; cut <= body.size(); ++cut) {
        SCOPED_TRACE(::testing::Message() << canonicalizationName(mode) << " body "
                                          << ::testing::PrintToString(body) << " cut " << cut);
        BodyCanonicalizer c(mode);
        ASSERT_TRUE(c.feed(std::string_view(body).substr(0, cut)).has_value());
        ASSERT_TRUE(c.feed(std::string_view(body).substr(cut)).has_value());
        EXPECT_EQ(c.finish().value(), whole);
      }
      BodyCanonicalizer bytewise(mode);
      for (char ch : body) ASSERT_TRUE(bytewise.feed(std::string_view(&ch, 1)).has_value());
      EXPECT_EQ(bytewise.finish().value(), whole) << "byte by byte";
    }
  }
}

// Every body of up to six bytes over the bytes that matter, in one call and
// split in two at every point, against the byte-by-byte rules.
TEST(BodyCanonicalizer, MatchesTheByteRulesOnAllShortBodies) {
  const char alphabet[] = {'a', ' ', '\t', '\r', '\n'};
  std::string body;
  std::size_t checked = 0;
  for (std::size_t len = 0; len <= 6; ++len) {
    std::size_t combos = 1;
    for (std::size_t i = 0; i < len; ++i) combos *= 5;
    for (std::size_t n = 0; n < combos; ++n) {
      body.clear();
      for (std::size_t i = 0, v = n; i < len; ++i, v /= 5) body += alphabet[v % 5];
      for (Canonicalization mode : {S, R}) {
        const std::string want = testutil::referenceBody(body, mode);
        for (std::size_t cut = 0; cut <= len; ++cut) {
          BodyCanonicalizer c(mode);
          (void)c.feed(std::string_view(body).substr(0, cut));
          (void)c.feed(std::string_view(body).substr(cut));
          std::string got = c.finish().value();
          ASSERT_EQ(got, want) << canonicalizationName(mode) << " "
                               << ::testing::PrintToString(body) << " cut " << cut;
          ++checked;
        }
      }
    }
  }
  EXPECT_GT(checked, 100000u);
}

// Longer bodies, mostly text with scattered whitespace and line breaks, so
// the canonicalizers' bulk paths over 16-byte blocks meet every kind of byte
// at every block position.
TEST(BodyCanonicalizer, MatchesTheByteRulesOnLongMixedBodies) {
  const char alphabet[] = "abcdefgh      \t\r\n";
  std::uint32_t x = 7;
  for (int round = 0; round < 400; ++round) {
    std::string body;
    x = x * 1103515245u + 12345u;
    std::size_t len = 16 + (x >> 16) % 150;
    for (std::size_t i = 0; i < len; ++i) {
      x = x * 1103515245u + 12345u;
      std::uint32_t r = (x >> 16) % 64;
      // Mostly letters and single spaces; CR LF pairs now and then.
      if (r < 40) {
        body += static_cast<char>('a' + r % 8);
      } else if (r < 52) {
        body += ' ';
      } else if (r < 56) {
        body += "\r\n";
      } else {
        body += alphabet[r % (sizeof alphabet - 1)];
      }
    }
    for (Canonicalization mode : {S, R}) {
      const std::string want = testutil::referenceBody(body, mode);
      ASSERT_EQ(canon(body, mode), want)
          << canonicalizationName(mode) << " " << ::testing::PrintToString(body);
      std::size_t cut = (x >> 8) % (body.size() + 1);
      BodyCanonicalizer c(mode);
      ASSERT_TRUE(c.feed(std::string_view(body).substr(0, cut)).has_value());
      ASSERT_TRUE(c.feed(std::string_view(body).substr(cut)).has_value());
      ASSERT_EQ(c.finish().value(), want)
          << canonicalizationName(mode) << " " << ::testing::PrintToString(body) << " cut " << cut;
    }
  }
}

TEST(CanonicalizeHeader, RelaxedAndSimple) {
  struct Case {
    const char* name;
    std::string raw;
    std::string relaxed;
  } cases[] = {
      {"fold and runs", "Subject :  Hello\r\n\tWorld  ", "subject:Hello World"},
      {"no space after colon", "To:x", "to:x"},
      {"empty value", "X-Empty:   ", "x-empty:"},
      {"LF fold", "A: b\n c", "a:b c"},
      {"leading name blank stays", " A : b", " a:b"},
      {"stray CR inside", "A: b\rc", "a:b\rc"},
      {"trailing CR LF without fold", "A: b\r\n", "a:b"},
      {"inner tabs", "A: b\t\tc", "a:b c"},
      {"single spaces kept in a run", "A: one two  three\tfour five", "a:one two three four five"},
      {"CR LF without whitespace is data", "A: b\r\nc d", "a:b\r\nc d"},
      {"space before a stray CR", "A: b c \rd", "a:b c \rd"},
      {"space before a fold", "A: b \r\n c", "a:b c"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    EXPECT_EQ(canonicalizeHeader(tc.raw, R).value(), tc.relaxed);
    EXPECT_EQ(canonicalizeHeader(tc.raw, S).value(), tc.raw);
  }
  auto bad = canonicalizeHeader("no colon", R);
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error(), Error::MalformedHeader);
  EXPECT_EQ(canonicalizeHeader("no colon", S).value(), "no colon");
}

// RFC 6376 section 3.4.6.
TEST(Canonicalization, Rfc6376Example) {
  const std::string text = "A: X\r\nB : Y\t\r\n\tZ  \r\n\r\n C \r\nD \t E\r\n\r\n\r\n";
  auto m = parseMessage(text);
  ASSERT_TRUE(m.has_value());
  auto raw = buildRawHeaderList(*m).value();
  ASSERT_EQ(raw.size(), 2u);
  EXPECT_EQ(canonicalizeHeader(raw[0], R).value() + "\r\n" + canonicalizeHeader(raw[1], R).value() +
                "\r\n",
            "a:X\r\nb:Y Z\r\n");
  EXPECT_EQ(canon(m->body, R), " C\r\nD E\r\n");
  EXPECT_EQ(canonicalizeHeader(raw[0], S).value() + "\r\n" + canonicalizeHeader(raw[1], S).value() +
                "\r\n",
            "A: X\r\nB : Y\t\r\n\tZ  \r\n");
  EXPECT_EQ(canon(m->body, S), " C \r\nD \t E\r\n");
}

TEST(SelectSignedHeaders, BottomUpWithOversigning) {
  const std::vector<std::string> raw = {"From: top", "To: t", "Subject: s", "from : bottom",
                                        "X: 1"};
  struct Case {
    const char* name;
    const char* h;
    std::vector<std::string> want;
  } cases[] = {
      {"one listing takes the bottom one", "from", {"from : bottom"}},
      {"two listings go upwards", "from:FROM", {"from : bottom", "From: top"}},
      {"surplus listing selects nothing", "from:from:from", {"from : bottom", "From: top"}},
      {"missing field is no error", "date:to", {"To: t"}},
      {"pieces are trimmed, empty ones skipped", " to \r\n :: subject", {"To: t", "Subject: s"}},
      {"order follows h=", "x:subject:from", {"X: 1", "Subject: s", "from : bottom"}},
      {"empty list", "", {}},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    auto got = selectSignedHeaders(tc.h, raw);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(std::vector<std::string>(got->begin(), got->end()), tc.want);
  }
  const std::vector<std::string> one_from = {"From: a", "To: b"};
  auto once = selectSignedHeaders("from:from", one_from).value();
  ASSERT_EQ(once.size(), 1u);
  EXPECT_EQ(once[0], "From: a");
}

TEST(RemoveSignatureValue, EmptiesOnlyTheFirstB) {
  struct Case {
    const char* name;
    std::string raw, want;
  } cases[] = {
      {"plain", "DKIM-Signature: v=1; bh=AAA; b=SIG; d=x", "DKIM-Signature: v=1; bh=AAA; b=; d=x"},
      {"folded value goes, CR LF before next tag stays",
       "DKIM-Signature: a=x; b=AB\r\n\tCD\r\n\tEF;\r\n\td=x", "DKIM-Signature: a=x; b=;\r\n\td=x"},
      {"b last", "DKIM-Signature: bh=Q; b=\r\n\tXYZ", "DKIM-Signature: bh=Q; b="},
      {"spaces around the name", "DKIM-Signature: v=1;\r\n b \t= zz ; s=x",
       "DKIM-Signature: v=1;\r\n b \t=; s=x"},
      {"only the first b", "DKIM-Signature: b=1; b=2", "DKIM-Signature: b=; b=2"},
      {"no b", "DKIM-Signature: bh=Q; d=x", "DKIM-Signature: bh=Q; d=x"},
      {"no colon before tags", "b=1; c=2", "b=; c=2"},
      {"colon after an equals sign is not the name's", "x=a:b; b=2", "x=a:b; b="},
  };
  for (const auto& tc : cases) {
    EXPECT_EQ(removeSignatureValue(tc.raw).value(), tc.want) << tc.name;
  }
}

TEST(BuildHeaderHashInput, FieldsWithCrLfThenSignatureWithout) {
  std::vector<std::string_view> selected = {"From : A  B", "To: c"};
  EXPECT_EQ(buildHeaderHashInput(selected, "DKIM-Signature: v=1;\r\n\tb=", R).value(),
            "from:A B\r\nto:c\r\ndkim-signature:v=1; b=");
  EXPECT_EQ(buildHeaderHashInput(selected, "DKIM-Signature: v=1; b=", S).value(),
            "From : A  B\r\nTo: c\r\nDKIM-Signature: v=1; b=");
}

TEST(BodyHash, LengthLimit) {
  const std::string body = "abc\r\n";  // canonical length 5 in both modes
  auto full = bodyHash(body, S).value();
  EXPECT_EQ(full.canonical_length, 5u);
  EXPECT_EQ(full.unsigned_octets, 0u);
  EXPECT_EQ(full.digest, sha256("abc\r\n").value());

  auto exact = bodyHash(body, S, 5).value();
  EXPECT_EQ(exact.digest, full.digest);
  EXPECT_EQ(exact.unsigned_octets, 0u);

  auto part = bodyHash(body, R, 2).value();
  EXPECT_EQ(part.digest, sha256("ab").value());
  EXPECT_EQ(part.unsigned_octets, 3u);

  auto over = bodyHash(body, S, 6);
  ASSERT_FALSE(over.has_value());
  EXPECT_EQ(over.error(), Error::BodyLengthExceedsBody);

  // Relaxed empty body: SHA-256 of nothing.
  auto empty = bodyHash("", R).value();
  EXPECT_EQ(empty.canonical_length, 0u);
  EXPECT_EQ(empty.digest, sha256("").value());
  EXPECT_EQ(bodyHash("", S).value().digest, sha256("\r\n").value());
}

}  // namespace
}  // namespace quellsig
