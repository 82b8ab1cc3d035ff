#include "engine/signer.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "engine/base64.h"
#include "engine/ed25519.h"
#include "engine/key_loading.h"
#include "engine/key_verify.h"
#include "engine/tag_list.h"
#include "tests/engine/test_keys.h"

namespace quellsig {
namespace {

constexpr auto S = Canonicalization::Simple;
constexpr auto R = Canonicalization::Relaxed;

struct Parsed {
  std::string text;
  Message message;
  std::vector<std::string> raw;
};

// Keeps the text alive with the views into it.
std::unique_ptr<Parsed> parse(std::string text) {
  auto p = std::make_unique<Parsed>();
  p->text = std::move(text);
  p->message = parseMessage(p->text).value();
  p->raw = buildRawHeaderList(p->message).value();
  return p;
}

const char kMessage[] =
    "From: Alice <alice@example.org>\r\n"
    "To: Bob <bob@example.net>\r\n"
    "Subject:  Lunch\r\n"
    "\t tomorrow?  \r\n"
    "Date: Thu, 10 Dec 2026 12:00:00 +0000\r\n"
    "Message-ID: <1@example.org>\r\n"
    "\r\n"
    "See  you   there.  \r\n"
    "\r\n";

std::array<std::uint8_t, 32> testSeed() {
  std::array<std::uint8_t, 32> seed{};
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return seed;
}

struct TestKey {
  SignatureAlgorithm algorithm;
  PrivateKey key;
  std::string p;  // the key record's p= text
};

TestKey ed25519Key() {
  auto seed = testSeed();
  auto key = ed25519KeyFromSeed(seed).value();
  std::string p = base64Encode(key.ed25519_public);
  return {SignatureAlgorithm::Ed25519Sha256, std::move(key), p};
}

TestKey rsaKey() {
  static EvpPkeyPtr pkey = testing::makeRsaKey(2048);
  return {SignatureAlgorithm::RsaSha256, testing::rsaPrivateKey(pkey.get()),
          base64Encode(testing::publicKeyDer(pkey.get()))};
}

// What a verifier does with the emitted field: strip b=, rebuild the header
// hash input from h=, check bh= against the body, verify b=.
bool verifies(const std::string& field, const Parsed& msg, const TestKey& key) {
  std::string_view value = std::string_view(field).substr(field.find(':') + 1);
  if (!parseTagList(value)) return false;
  auto f = extractSignatureFields(value);
  if (!f) return false;
  std::optional<std::uint64_t> limit;
  if (f->has_body_length) limit = f->body_length;
  auto bh = bodyHash(msg.message.body, f->body_canonicalization, limit);
  if (!bh || decodeBase64Tag(f->body_hash).value() !=
                 std::vector<std::uint8_t>(bh->digest.begin(), bh->digest.end())) {
    return false;
  }
  auto stripped = removeSignatureValue(field).value();
  auto selected = selectSignedHeaders(f->signed_headers, msg.raw).value();
  auto input = buildHeaderHashInput(selected, stripped, f->header_canonicalization).value();
  auto sig = decodeBase64Tag(f->signature);
  if (!sig) return false;
  return verifyWithKeyRecord(f->algorithm, key.p, *sig, input, 1024).status ==
         KeyVerifyResult::Status::Verified;
}

// A request for d=example.org, s=sel with the key's algorithm and the
// defaults for everything else.
SigningRequest requestFor(const TestKey& key) {
  SigningRequest req;
  req.domain = "example.org";
  req.selector = "sel";
  req.key = &key.key;
  req.algorithm = key.algorithm;
  return req;
}

std::string sign(const Parsed& msg, const TestKey& key, Canonicalization hc, Canonicalization bc,
                 bool with_l = false) {
  SigningRequest req = requestFor(key);
  req.header_canonicalization = hc;
  req.body_canonicalization = bc;
  req.include_body_length = with_l;
  auto bh = signingBodyHash(msg.message.body, bc).value();
  auto field = signMessage(msg.message, msg.raw, req, bh);
  EXPECT_TRUE(field.has_value()) << errorName(field.error());
  return field.value_or("");
}

TEST(Signer, EveryFieldVerifiesAndTamperingBreaksIt) {
  std::vector<TestKey> keys;
  keys.push_back(ed25519Key());
  keys.push_back(rsaKey());
  auto msg = parse(kMessage);
  auto changed_body = parse(std::string(kMessage) + "P.S.\r\n");
  std::string subject_text = kMessage;
  subject_text.replace(subject_text.find("Lunch"), 5, "Dinner");
  auto changed_subject = parse(subject_text);
  // A second From added on top later: the oversigned h= lists a second from.
  auto added_from = parse("From: Mallory <m@example.com>\r\n" + std::string(kMessage));

  for (const TestKey& key : keys) {
    for (auto hc : {S, R}) {
      for (auto bc : {S, R}) {
        SCOPED_TRACE(::testing::Message()
                     << algorithmName(key.algorithm) << " " << canonicalizationName(hc) << "/"
                     << canonicalizationName(bc));
        std::string field = sign(*msg, key, hc, bc);
        EXPECT_TRUE(verifies(field, *msg, key));
        EXPECT_FALSE(verifies(field, *changed_body, key));
        EXPECT_FALSE(verifies(field, *changed_subject, key));
        EXPECT_FALSE(verifies(field, *added_from, key));
      }
    }
  }
}

TEST(Signer, BodyLengthTagCoversTheCanonicalBody) {
  TestKey key = ed25519Key();
  auto msg = parse(kMessage);
  std::string field = sign(*msg, key, R, R, true);
  auto f = extractSignatureFields(std::string_view(field).substr(15)).value();
  ASSERT_TRUE(f.has_body_length);
  auto bh = bodyHash(msg->message.body, R, f.body_length).value();
  EXPECT_EQ(bh.unsigned_octets, 0u);
  EXPECT_EQ(f.body_length, std::string("See you there.\r\n").size());
  EXPECT_TRUE(verifies(field, *msg, key));
}

TEST(BuildSignedHeaderList, Oversigning) {
  const std::vector<std::string> one_from = {"From: a", "To: b"};
  const std::vector<std::string> two_from = {"From: a", "To: b", "FROM : c"};
  struct Case {
    const char* name;
    const char* base;
    const char* oversign;
    const std::vector<std::string>* raw;
    const char* want;
  } cases[] = {
      {"defaults, one From", "from:to:subject:date:message-id", "from", &one_from,
       "from:to:subject:date:message-id:from"},
      {"two From fields", "from:to", "from", &two_from, "from:to:from:from"},
      {"empty oversign list", ":from:to:", "", &one_from, "from:to"},
      {"leading and trailing colons and blanks", " :from:to: \r\n", "from", &one_from,
       "from:to:from"},
      {"already listed often enough", "from:from", "from", &one_from, "from:from"},
      {"listed more than present", "from:from:from", "from", &one_from, "from:from:from"},
      {"absent name is listed once", "from", "reply-to", &one_from, "from:reply-to"},
      {"repeated oversign names count once", "to", "From:from: FROM", &one_from, "to:From:From"},
      {"empty base", "", "from", &two_from, "from:from:from"},
  };
  for (const auto& tc : cases) {
    EXPECT_EQ(buildSignedHeaderList(tc.base, tc.oversign, *tc.raw).value(), tc.want) << tc.name;
  }
}

std::vector<std::string> linesOf(const std::string& field) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (;;) {
    std::size_t crlf = field.find("\r\n", start);
    lines.push_back(field.substr(start, crlf == std::string::npos ? crlf : crlf - start));
    if (crlf == std::string::npos) return lines;
    start = crlf + 2;
  }
}

// Ed25519 signatures are deterministic, so without t= the whole field is
// fixed: any change to folding, tag text or the signed bytes shows here.
TEST(Signer, Ed25519FieldBytesAreStable) {
  TestKey key = ed25519Key();
  auto msg = parse(kMessage);
  struct Case {
    Canonicalization hc, bc;
    const char* field;
  } cases[] = {
      {R, R,
       "DKIM-Signature: v=1; a=ed25519-sha256; c=relaxed/relaxed; d=example.org;\r\n"
       "\ts=sel; h=from:to:subject:date:message-id:from; l=16; bh=K47clZLy3SkSvn80F8IT5\r\n"
       "\t87cmsRu+P9V0H0ghNqLqIo=; b=\r\n"
       "\toKTsccxAQrYT5lveXl1QoaZcBslNG+VzC+WfV56rtM8mqdSQipJQZ+X918Q5FlyWMFfoxkr6GIqFf\r\n"
       "\t0Bn8jtxDQ=="},
      {S, S,
       "DKIM-Signature: v=1; a=ed25519-sha256; c=simple/simple; d=example.org; s=sel; "
       "h=from:to:subject:date:message-id:from; l=21; "
       "bh=HS4lTg3Ful7aUAWM09kZJ9XI1dwlxKA7sAvOFjQalZY=; b=\r\n"
       "\th4bvNb6EPcV/NfkjiVY8Pq+eVVp4uUEgkG8ZpoSkVfnn3nNxo/qJ7MqK0Y1D7aeyt5V/k55fOFUU4\r\n"
       "\tZz/tepZCA=="},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << canonicalizationName(c.hc) << "/" << canonicalizationName(c.bc));
    SigningRequest req = requestFor(key);
    req.header_canonicalization = c.hc;
    req.body_canonicalization = c.bc;
    req.include_timestamp = false;
    req.include_body_length = true;
    auto bh = signingBodyHash(msg->message.body, c.bc).value();
    EXPECT_EQ(signMessage(msg->message, msg->raw, req, bh).value(), c.field);
  }
}

TEST(Signer, TagOrderAndFoldingAtSeventyEight) {
  TestKey key = ed25519Key();
  auto msg = parse(kMessage);
  SigningRequest req = requestFor(key);
  req.include_timestamp = false;
  BodyHash zero{};  // base64: 43 "A" and "="
  std::string field = signMessage(msg->message, msg->raw, req, zero).value();
  const std::string head =
      "DKIM-Signature: v=1; a=ed25519-sha256; c=relaxed/relaxed; d=example.org;\r\n"
      "\ts=sel; h=from:to:subject:date:message-id:from; bh=" +
      std::string(27, 'A') + "\r\n\t" + std::string(16, 'A') + "=; b=";
  ASSERT_EQ(field.substr(0, head.size()), head);
  // The longest line so far is 78 columns, so b= data starts on a new line
  // and fills lines of 78 columns (the tab counts as one).
  std::string rest = field.substr(head.size());
  ASSERT_EQ(rest.size(), 3 + 77 + 3 + 11u);
  EXPECT_EQ(rest.substr(0, 3), "\r\n\t");
  EXPECT_EQ(rest.substr(80, 3), "\r\n\t");
  for (const std::string& line : linesOf(field)) EXPECT_LE(line.size(), 78u) << line;
}

TEST(Signer, SimpleKeepsTagsOnOneLineAndWrapsOnlyTheSignature) {
  TestKey key = rsaKey();
  auto msg = parse(kMessage);
  SigningRequest req = requestFor(key);
  req.header_canonicalization = S;
  req.include_timestamp = true;
  req.include_body_length = true;
  auto bh = signingBodyHash(msg->message.body, R).value();
  std::string field = signMessage(msg->message, msg->raw, req, bh).value();
  auto lines = linesOf(field);
  ASSERT_GE(lines.size(), 2u);
  const std::string& first = lines[0];
  EXPECT_EQ(first.rfind("DKIM-Signature: v=1; a=rsa-sha256; c=simple/relaxed; d=example.org; "
                        "s=sel; h=from:to:subject:date:message-id:from; t=",
                        0),
            0u)
      << first;
  EXPECT_NE(first.find("; l=16; bh=" + base64Encode(bh.digest) + "; b="), std::string::npos);
  EXPECT_TRUE(first.ends_with("b="));
  // 344 characters of a 2048-bit signature in lines of 77 after the tab.
  std::size_t data = 0;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i][0], '\t');
    EXPECT_LE(lines[i].size(), 78u);
    data += lines[i].size() - 1;
  }
  EXPECT_EQ(data, 344u);
}

TEST(Signer, OverLongTagIsNotSplit) {
  TestKey key = ed25519Key();
  auto msg = parse(kMessage);
  std::string names;
  for (int i = 0; i < 12; ++i) names += "x-long-header-name-" + std::to_string(i) + ":";
  SigningRequest req = requestFor(key);
  req.signed_headers = names;
  req.oversign_headers = "";
  req.include_timestamp = false;
  auto bh = signingBodyHash(msg->message.body, R).value();
  std::string field = signMessage(msg->message, msg->raw, req, bh).value();
  int over = 0;
  for (const std::string& line : linesOf(field)) {
    if (line.size() <= 78) continue;
    ++over;
    EXPECT_TRUE(line.starts_with("\th=x-long-header-name-0:")) << line;
    EXPECT_TRUE(line.ends_with("x-long-header-name-11;")) << line;
  }
  EXPECT_EQ(over, 1);
  EXPECT_TRUE(verifies(field, *msg, key));
}

}  // namespace
}  // namespace quellsig
