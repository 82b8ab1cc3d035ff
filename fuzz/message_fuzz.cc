// Hostile messages: line-ending normalisation, message parsing, header
// canonicalization, h= selection, b= removal, the header hash input and the
// body canonicalizers. Both canonicalizers are compared with a byte-at-a-time
// reading of the rules, and a body fed in two chunks split at a chosen point
// must give exactly the one-call bytes.
//
// Input: byte 0 picks the split point (as a fraction of the body), byte 1
// holds switches (bit 0: normalise first), bytes 2-3 an l= limit; the rest is
// the message text.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/canonicalization.h"
#include "engine/message.h"
#include "engine/tag_list.h"
#include "fuzz/driver.h"
#include "tests/support/reference_canonicalization.h"

namespace quellsig::fuzz {
namespace {

constexpr std::string_view kTokens[] = {
    "\r\n",
    "\r\n\r\n",
    "\r",
    "\n",
    " ",
    "\t",
    "\r\n ",
    "\r\n\t",
    ":",
    "From: ",
    "To: ",
    "Subject: ",
    "DKIM-Signature: ",
    "h=from:to:subject:from; ",
    "b=",
    "bh=",
    "; ",
    "  \t ",
    "\r\r\n",
    "\n\r",
};

bool isSpaceTab(char c) { return c == ' ' || c == '\t'; }
bool isBlank(char c) { return isSpaceTab(c) || c == '\r' || c == '\n'; }

std::optional<std::string> referenceRelaxedHeader(std::string_view raw) {
  std::size_t colon = raw.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::string_view name = raw.substr(0, colon);
  while (!name.empty() && isSpaceTab(name.back())) name.remove_suffix(1);
  std::string out;
  for (char c : name) out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  out += ':';
  std::string value;
  std::string_view v = raw.substr(colon + 1);
  bool flag = false;
  for (std::size_t i = 0; i < v.size(); ++i) {
    char c = v[i];
    if (isSpaceTab(c)) {
      flag = true;
    } else if (c == '\r' && i + 2 < v.size() && v[i + 1] == '\n' && isSpaceTab(v[i + 2])) {
      flag = true;
      ++i;
    } else if (c == '\n' && i + 1 < v.size() && isSpaceTab(v[i + 1])) {
      flag = true;
    } else {
      if (flag) value += ' ';
      flag = false;
      value += c;
    }
  }
  std::string_view trimmed = value;
  while (!trimmed.empty() && isBlank(trimmed.front())) trimmed.remove_prefix(1);
  while (!trimmed.empty() && isBlank(trimmed.back())) trimmed.remove_suffix(1);
  out += trimmed;
  return out;
}

// h= selection as described: bottom-up, one instance per listed occurrence.
std::vector<const std::string*> referenceSelection(std::string_view h,
                                                   const std::vector<std::string>& raw) {
  std::vector<std::string_view> pieces;
  forEachListedName(h, [&](std::string_view p) { pieces.push_back(p); });
  std::vector<const std::string*> out;
  for (std::size_t k = 0; k < pieces.size(); ++k) {
    std::size_t occurrence = 0;
    for (std::size_t j = 0; j < k; ++j) occurrence += namesEqual(pieces[j], pieces[k]) ? 1 : 0;
    for (std::size_t i = raw.size(); i-- > 0;) {
      if (namesEqual(matchingName(raw[i]), pieces[k]) && occurrence-- == 0) {
        out.push_back(&raw[i]);
        break;
      }
    }
  }
  return out;
}

void checkBody(std::string_view body, Canonicalization mode, std::size_t split,
               std::uint64_t limit) {
  BodyCanonicalizer whole(mode);
  FUZZ_CHECK(whole.feed(body).has_value());
  auto one = whole.finish();
  FUZZ_CHECK(one.has_value());

  BodyCanonicalizer parts(mode);
  FUZZ_CHECK(parts.feed(body.substr(0, split)).has_value());
  FUZZ_CHECK(parts.feed(body.substr(split)).has_value());
  auto two = parts.finish();
  FUZZ_CHECK(two.has_value());
  FUZZ_CHECK(*one == *two);

  FUZZ_CHECK(*one == testutil::referenceBody(body, mode));
  if (mode == Canonicalization::Simple) FUZZ_CHECK(one->ends_with("\r\n"));
  if (mode == Canonicalization::Relaxed) FUZZ_CHECK(one->empty() || one->ends_with("\r\n"));
  BodyCanonicalizer again(mode);
  FUZZ_CHECK(again.feed(*one).has_value());
  auto twice = again.finish();
  FUZZ_CHECK(twice && *twice == *one);

  auto full = bodyHash(body, mode);
  FUZZ_CHECK(full && full->canonical_length == one->size() && full->unsigned_octets == 0);
  FUZZ_CHECK(full->digest == *sha256(*one));
  auto limited = bodyHash(body, mode, limit);
  if (limit > one->size()) {
    FUZZ_CHECK(!limited && limited.error() == Error::BodyLengthExceedsBody);
  } else {
    FUZZ_CHECK(limited && limited->unsigned_octets == one->size() - limit);
    FUZZ_CHECK(limited->digest == *sha256(std::string_view(*one).substr(0, limit)));
  }
}

}  // namespace

std::span<const std::string_view> fuzzDictionary() { return kTokens; }

}  // namespace quellsig::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quellsig;
  using namespace quellsig::fuzz;
  if (size < 4) return 0;
  const unsigned split_fraction = data[0];
  const bool normalise = (data[1] & 1) != 0;
  const std::uint64_t limit = (unsigned{data[2]} << 8) | data[3];
  std::string_view input(reinterpret_cast<const char*>(data) + 4, size - 4);

  auto normalised = normalizeLineEndings(input);
  FUZZ_CHECK(normalised.has_value());
  for (std::size_t i = 0; i < normalised->size(); ++i) {
    char c = (*normalised)[i];
    if (c == '\r') FUZZ_CHECK(i + 1 < normalised->size() && (*normalised)[i + 1] == '\n');
    if (c == '\n') FUZZ_CHECK(i > 0 && (*normalised)[i - 1] == '\r');
  }
  FUZZ_CHECK(*normalizeLineEndings(*normalised) == *normalised);
  std::string_view text = normalise ? std::string_view(*normalised) : input;

  auto message = parseMessage(text);
  FUZZ_CHECK(message.has_value());
  FUZZ_CHECK(within(message->body, text));
  for (const auto& field : message->headers) {
    FUZZ_CHECK(within(field.name, text) && within(field.value, text));
    FUZZ_CHECK(field.name.find(':') == std::string_view::npos);
    FUZZ_CHECK(field.value.empty() || (field.value.back() != '\r' && field.value.back() != '\n'));
  }
  auto raw = buildRawHeaderList(*message);
  FUZZ_CHECK(raw && raw->size() == message->headers.size());

  std::vector<std::string_view> h_lists = {"from:to:subject:date:from:message-id"};
  for (const auto& r : *raw) {
    FUZZ_CHECK(r.find(':') != std::string::npos);
    FUZZ_CHECK(*canonicalizeHeader(r, Canonicalization::Simple) == r);
    auto relaxed = canonicalizeHeader(r, Canonicalization::Relaxed);
    FUZZ_CHECK(relaxed && *relaxed == *referenceRelaxedHeader(r));

    if (namesEqual(matchingName(r), "DKIM-Signature")) {
      auto stripped = removeSignatureValue(r);
      FUZZ_CHECK(stripped && stripped->size() <= r.size());
      std::size_t keep = 0;
      while (keep < stripped->size() && (*stripped)[keep] == r[keep]) ++keep;
      // What is left is a prefix and a suffix of the field: one range removed.
      FUZZ_CHECK(std::string_view(r).ends_with(std::string_view(*stripped).substr(keep)));
      std::size_t colon = r.find(':');
      h_lists.push_back(std::string_view(r).substr(colon + 1));
      for (auto mode : {Canonicalization::Simple, Canonicalization::Relaxed}) {
        auto fields = extractSignatureFields(std::string_view(r).substr(colon + 1));
        std::string_view h = fields ? fields->signed_headers : std::string_view("from");
        auto selected = selectSignedHeaders(h, *raw);
        FUZZ_CHECK(selected.has_value());
        auto input_bytes = buildHeaderHashInput(*selected, *stripped, mode);
        FUZZ_CHECK(input_bytes.has_value());
        std::string want;
        for (std::string_view f : *selected) want += *canonicalizeHeader(f, mode) + "\r\n";
        want += *canonicalizeHeader(*stripped, mode);
        FUZZ_CHECK(*input_bytes == want);
      }
    }
  }

  for (std::string_view h : h_lists) {
    auto selected = selectSignedHeaders(h, *raw);
    FUZZ_CHECK(selected.has_value());
    auto want = referenceSelection(h, *raw);
    FUZZ_CHECK(selected->size() == want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
      FUZZ_CHECK((*selected)[i].data() == want[i]->data() &&
                 (*selected)[i].size() == want[i]->size());
    }
  }

  std::string_view body = message->body;
  std::size_t split = body.size() * split_fraction / 255;
  checkBody(body, Canonicalization::Simple, split, limit);
  checkBody(body, Canonicalization::Relaxed, split, limit);
  return 0;
}
