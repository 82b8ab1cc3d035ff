// Hostile DKIM-Signature values: the validating parse, the extraction
// (checked against an independent reading of the tag rules), the lenient
// walk, base64 decoding of b= and bh= and tag numbers.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base64.h"
#include "engine/tag_list.h"
#include "fuzz/driver.h"

namespace quellsig::fuzz {
namespace {

constexpr std::string_view kTokens[] = {
    "v=1; ",
    "a=rsa-sha256; ",
    "a=ed25519-sha256; ",
    "c=relaxed/relaxed; ",
    "c=simple; ",
    "d=",
    "s=",
    "h=from:to:subject; ",
    "bh=",
    "b=",
    "l=",
    "t=",
    "x=",
    "i=@",
    "\r\n\t",
    "; ",
    "=",
    "==",
    "18446744073709551615",
    "18446744073709551616",
    "+1_000",
    "-00",
    "QUJD",
    "QQ==",
    "QUI=",
};

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The tag-number rule read independently; nullopt where the rule leaves the
// outcome open (a run of underscores) so the two readings are not compared.
std::optional<std::optional<std::uint64_t>> referenceNumber(std::string_view t) {
  if (t.find("__") != std::string_view::npos) return std::nullopt;
  if (!t.empty() && t.front() == '-') {
    if (t.size() > 1 && t.find_first_not_of('0', 1) == std::string_view::npos) {
      return std::optional<std::uint64_t>(0);
    }
    return std::optional<std::uint64_t>();
  }
  if (!t.empty() && t.front() == '+') t.remove_prefix(1);
  if (t.empty() || t.front() == '_' || t.back() == '_') return std::optional<std::uint64_t>();
  unsigned __int128 v = 0;
  for (char c : t) {
    if (c == '_') continue;
    if (c < '0' || c > '9') return std::optional<std::uint64_t>();
    v = v * 10 + static_cast<unsigned>(c - '0');
    if (v > UINT64_MAX) return std::optional<std::uint64_t>();
  }
  return std::optional<std::uint64_t>(static_cast<std::uint64_t>(v));
}

void checkBase64(std::string_view text) {
  std::string compact;
  for (char c : text) {
    if (!isBlank(c)) compact.push_back(c);
  }
  auto decoded = decodeBase64Tag(text);
  if (!decoded) {
    FUZZ_CHECK(decoded.error() == Error::InvalidArgument);
    return;
  }
  FUZZ_CHECK(compact.size() % 4 == 0);
  std::size_t pad = compact.ends_with("==") ? 2 : compact.ends_with("=") ? 1 : 0;
  FUZZ_CHECK(decoded->size() == compact.size() / 4 * 3 - pad);
  // Re-encoding gives the same text up to the unused bits of the last quantum.
  std::string again = base64Encode(*decoded);
  FUZZ_CHECK(again.size() == compact.size());
  auto round = decodeBase64Tag(again);
  FUZZ_CHECK(round && *round == *decoded);
}

}  // namespace

std::span<const std::string_view> fuzzDictionary() { return kTokens; }

}  // namespace quellsig::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quellsig;
  using namespace quellsig::fuzz;
  std::string_view value(reinterpret_cast<const char*>(data), size);

  std::vector<std::pair<std::string_view, std::string_view>> pairs;
  forEachTag(value, [&](std::string_view name, std::string_view v) {
    FUZZ_CHECK(!name.empty() && within(name, value) && within(v, value));
    FUZZ_CHECK(name.front() != ' ' && name.front() != '\t');
    FUZZ_CHECK(name.back() != ' ' && name.back() != '\t');
    FUZZ_CHECK(name.find(';') == std::string_view::npos &&
               name.find('=') == std::string_view::npos);
    FUZZ_CHECK(v.empty() || (!isBlank(v.front()) && !isBlank(v.back())));
    FUZZ_CHECK(v.find(';') == std::string_view::npos);
    pairs.emplace_back(name, v);
  });

  for (const auto& [name, v] : pairs) {
    auto n = parseTagNumber(v);
    if (auto expected = referenceNumber(v)) {
      FUZZ_CHECK(n.has_value() == expected->has_value());
      if (n) FUZZ_CHECK(*n == **expected);
    }
    if (name == "b" || name == "bh" || name == "p") checkBase64(v);
  }

  auto list = parseTagList(value);
  if (!list) {
    Error e = list.error();
    FUZZ_CHECK(e == Error::EmptyTagList || e == Error::MissingEquals ||
               e == Error::InvalidTagName || e == Error::DuplicateTagName ||
               e == Error::TooManyTags);
    FUZZ_CHECK(!signatureParseReason(e).empty());
    return 0;
  }
  FUZZ_CHECK(list->count >= 1 && list->count <= kMaxTags);
  for (std::size_t i = 0; i < list->count; ++i) {
    std::string_view name = list->names[i];
    FUZZ_CHECK(!name.empty() && within(name, value));
    for (std::size_t j = 0; j < i; ++j) FUZZ_CHECK(list->names[j] != name);
  }

  // The extraction as the tag table describes it, over the walk's pairs.
  SignatureFields want;
  std::optional<Error> want_error;
  for (const auto& [name, v] : pairs) {
    if (name == "v") want.version = v;
    if (name == "b") want.signature = v;
    if (name == "bh") want.body_hash = v;
    if (name == "d") want.domain = v;
    if (name == "h") want.signed_headers = v;
    if (name == "i") want.identity = v;
    if (name == "s") want.selector = v;
    if (name == "a") {
      if (v == "rsa-sha256") {
        want.algorithm = SignatureAlgorithm::RsaSha256;
      } else if (v == "ed25519-sha256") {
        want.algorithm = SignatureAlgorithm::Ed25519Sha256;
      } else {
        want_error = Error::UnsupportedAlgorithm;
        break;
      }
    }
    if (name == "c") {
      std::size_t slash = v.find('/');
      auto canon = [](std::string_view s) -> std::optional<Canonicalization> {
        if (s == "simple") return Canonicalization::Simple;
        if (s == "relaxed") return Canonicalization::Relaxed;
        return std::nullopt;
      };
      auto h = v.empty() ? Canonicalization::Simple : canon(v.substr(0, slash));
      auto b =
          slash == std::string_view::npos ? Canonicalization::Simple : canon(v.substr(slash + 1));
      if (!h || !b) {
        want_error = Error::InvalidCanonicalization;
        break;
      }
      want.header_canonicalization = *h;
      want.body_canonicalization = *b;
    }
    if (name == "l" || name == "t" || name == "x") {
      auto n = parseTagNumber(v);
      if (!n) continue;
      if (name == "l") want.body_length = *n, want.has_body_length = true;
      if (name == "t") want.timestamp = *n, want.has_timestamp = true;
      if (name == "x") want.expiration = *n, want.has_expiration = true;
    }
  }

  auto got = extractSignatureFields(value);
  if (want_error) {
    FUZZ_CHECK(!got && got.error() == *want_error);
    return 0;
  }
  FUZZ_CHECK(got.has_value());
  FUZZ_CHECK(got->version == want.version && got->signature == want.signature);
  FUZZ_CHECK(got->body_hash == want.body_hash && got->domain == want.domain);
  FUZZ_CHECK(got->signed_headers == want.signed_headers && got->identity == want.identity);
  FUZZ_CHECK(got->selector == want.selector && got->algorithm == want.algorithm);
  FUZZ_CHECK(got->header_canonicalization == want.header_canonicalization);
  FUZZ_CHECK(got->body_canonicalization == want.body_canonicalization);
  FUZZ_CHECK(got->has_body_length == want.has_body_length && got->body_length == want.body_length);
  FUZZ_CHECK(got->has_timestamp == want.has_timestamp && got->timestamp == want.timestamp);
  FUZZ_CHECK(got->has_expiration == want.has_expiration && got->expiration == want.expiration);
  FUZZ_CHECK(within(got->domain, value) && within(got->selector, value));
  return 0;
}
