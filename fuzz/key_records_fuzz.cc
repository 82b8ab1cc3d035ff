// Hostile key records and signed messages: key record reading and selection
// over arbitrary TXT texts, and the verifier over a fuzzed message whose key
// lookups answer with those texts.
//
// Input: byte 0 holds switches (bits 0-3: max_key_records modulo 9, bit 4:
// refuse l=, bits 5-6: 0-1 answer with the records, 2 name error, 3 timeout).
// Then the key records, one per line ("!" first makes a CNAME answer), a NUL
// byte, and the message text.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base64.h"
#include "engine/ed25519.h"
#include "engine/key_record.h"
#include "engine/message.h"
#include "engine/public_key_cache.h"
#include "engine/verifier.h"
#include "fuzz/driver.h"

namespace quellsig::fuzz {
namespace {

constexpr std::string_view kTokens[] = {
    "v=DKIM1; ",
    "k=rsa; ",
    "k=ed25519; ",
    "p=",
    "h=sha256; ",
    "h=sha1:sha256; ",
    "s=email; ",
    "s=*; ",
    "t=y; ",
    "t=s; ",
    "t=y:s; ",
    "\n",
    "!",
    "i=@",
    "l=0; ",
    "x=1; ",
    "t=1; ",
    "DKIM-Signature: ",
    "\r\n",
    "\r\n\r\n",
    "a=ed25519-sha256; ",
    "c=relaxed/relaxed; ",
    ";",
};

class FuzzLookup : public KeyLookup {
 public:
  FuzzLookup(std::vector<KeyAnswer> answers, int mode)
      : answers_(std::move(answers)), mode_(mode) {}

  Result<std::vector<KeyAnswer>> lookupKeyRecords(std::string_view name) override {
    ++calls;
    last_name.assign(name);
    if (mode_ == 2) return fail(Error::DnsNameError);
    if (mode_ == 3) return fail(Error::DnsTimeout);
    return answers_;
  }

  int calls = 0;
  std::string last_name;

 private:
  std::vector<KeyAnswer> answers_;
  int mode_;
};

bool sameOutcome(const VerificationOutcome& a, const VerificationOutcome& b) {
  return a.domain == b.domain && a.selector == b.selector && a.reason == b.reason &&
         a.unsigned_octets == b.unsigned_octets && a.result == b.result && a.testing == b.testing;
}

void checkSelection(const std::vector<KeyAnswer>& answers, const KeySelectionInput& in) {
  KeySelection s = selectKeyRecords(answers, in);
  std::size_t txt = 0;
  for (const auto& a : answers) txt += a.type == kKeyAnswerTypeTxt ? 1 : 0;
  FUZZ_CHECK(s.count <= kMaxKeyRecords && s.count <= in.max_key_records && s.count <= txt);
  FUZZ_CHECK((s.count == 0) == !s.reason.empty());
  for (const KeyRecord& r : s.candidates()) {
    FUZZ_CHECK(!r.public_key.empty());
    FUZZ_CHECK(r.key_type ==
               (in.algorithm == SignatureAlgorithm::Ed25519Sha256 ? "ed25519" : "rsa"));
    FUZZ_CHECK(r.version.empty() || r.version == "DKIM1");
  }
}

}  // namespace

std::span<const std::string_view> fuzzDictionary() { return kTokens; }

}  // namespace quellsig::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quellsig;
  using namespace quellsig::fuzz;
  if (size < 1) return 0;
  const auto max_records = static_cast<std::uint8_t>((data[0] & 0x0f) % 9);
  const bool refuse_l = (data[0] & 0x10) != 0;
  const int lookup_mode = (data[0] >> 5) & 3;
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::size_t nul = rest.find('\0');
  std::string_view records_text = rest.substr(0, nul);
  std::string_view text = nul == std::string_view::npos ? std::string_view() : rest.substr(nul + 1);

  std::vector<KeyAnswer> answers;
  for (std::size_t start = 0; start <= records_text.size();) {
    std::size_t end = records_text.find('\n', start);
    if (end == std::string_view::npos) end = records_text.size();
    std::string_view line = records_text.substr(start, end - start);
    KeyAnswer a;
    a.type = kKeyAnswerTypeTxt;
    if (line.starts_with('!')) {
      a.type = 5;
      line.remove_prefix(1);
    }
    a.data.assign(line);
    answers.push_back(std::move(a));
    start = end + 1;
  }

  for (const KeyAnswer& a : answers) {
    KeyRecord r = readKeyRecord(a.data);
    FUZZ_CHECK(within(r.public_key, a.data) && within(r.flags, a.data));
    FUZZ_CHECK(within(r.hash_algorithms, a.data) && within(r.version, a.data));
    if (auto p = decodeBase64Tag(r.public_key); p && p->size() == 32) {
      (void)ed25519CheckPoint(std::span<const std::uint8_t, 32>(p->data(), 32));
    }
  }
  for (auto algorithm : {SignatureAlgorithm::RsaSha256, SignatureAlgorithm::Ed25519Sha256}) {
    checkSelection(answers, {algorithm, "example.com", std::nullopt, max_records});
    checkSelection(answers, {algorithm, "example.com", "user@EXAMPLE.com", max_records});
    checkSelection(answers, {algorithm, "example.com", "user@sub.example.com", 8});
  }

  auto message = parseMessage(text);
  FUZZ_CHECK(message.has_value());
  auto raw = buildRawHeaderList(*message);
  FUZZ_CHECK(raw.has_value());
  PublicKeyCache cache(2);
  int verified = 0;
  for (std::size_t i = 0; i < message->headers.size() && verified < 4; ++i) {
    if (!namesEqual(message->headers[i].name, "DKIM-Signature")) continue;
    ++verified;
    VerificationRequest request;
    request.signature_value = message->headers[i].value;
    request.signature_field = (*raw)[i];
    request.raw_headers = *raw;
    request.body = message->body;
    request.refuse_body_length = refuse_l;
    request.max_key_records = max_records;

    FuzzLookup lookup(answers, lookup_mode);
    VerificationOutcome plain = verifySignature(request, lookup);
    FUZZ_CHECK(plain.reason.empty() == (plain.result == DkimResult::Pass));
    FUZZ_CHECK(plain.result == DkimResult::Pass || plain.unsigned_octets == 0);
    FUZZ_CHECK(within(plain.domain, request.signature_value));
    FUZZ_CHECK(within(plain.selector, request.signature_value));
    FUZZ_CHECK(lookup.calls <= 1);
    if (lookup.calls == 1) {
      auto name = keyRecordName(plain.selector, plain.domain);
      FUZZ_CHECK(name && *name == lookup.last_name);
    }
    if (plain.result == DkimResult::Pass) FUZZ_CHECK(lookup.calls == 1 && lookup_mode < 2);

    for (int round = 0; round < 2; ++round) {
      FuzzLookup again(answers, lookup_mode);
      VerificationOutcome cached = verifySignature(request, again, &cache);
      FUZZ_CHECK(sameOutcome(plain, cached));
    }
  }
  return 0;
}
