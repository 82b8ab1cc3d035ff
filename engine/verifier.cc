#include "engine/verifier.h"

#include <new>
#include <optional>
#include <string>
#include <vector>

#include "engine/base64.h"
#include "engine/canonicalization.h"
#include "engine/key_record.h"
#include "engine/key_verify.h"
#include "engine/message.h"
#include "engine/public_key_cache.h"
#include "engine/tag_list.h"
#include "platform/clock.h"

namespace quellsig {
namespace {

VerificationOutcome outcome(DkimResult result, std::string_view reason) {
  VerificationOutcome o;
  o.result = result;
  o.reason = reason;
  return o;
}

bool signsFrom(std::string_view h_list) {
  bool found = false;
  forEachListedName(h_list, [&found](std::string_view name) { found |= namesEqual(name, "from"); });
  return found;
}

// A base64 tag value, or the reason its decoding failed.
std::expected<std::vector<std::uint8_t>, std::string_view> decodeTag(std::string_view text,
                                                                     std::string_view bad,
                                                                     std::string_view no_memory) {
  try {
    Result<std::vector<std::uint8_t>> bytes = decodeBase64Tag(text);
    if (!bytes) return std::unexpected(bytes.error() == Error::OutOfMemory ? no_memory : bad);
    return std::move(*bytes);
  } catch (const std::bad_alloc&) {
    return std::unexpected(no_memory);
  }
}

Result<std::string> headerHashInput(const VerificationRequest& request, const SignatureFields& f) {
  Result<std::vector<std::string_view>> selected =
      selectSignedHeaders(f.signed_headers, request.raw_headers);
  if (!selected) return fail(selected.error());
  Result<std::string> stripped = removeSignatureValue(request.signature_field);
  if (!stripped) return fail(stripped.error());
  return buildHeaderHashInput(*selected, *stripped, f.header_canonicalization);
}

VerificationOutcome verifyParsed(const VerificationRequest& request, const SignatureFields& f,
                                 KeyLookup& lookup, PublicKeyCache* cache) {
  VerificationOutcome o;
  o.domain = f.domain;
  o.selector = f.selector;
  auto decided = [&o](DkimResult result, std::string_view reason) {
    o.result = result;
    o.reason = reason;
    return o;
  };

  if (f.signature.empty() || f.body_hash.empty()) {
    return decided(DkimResult::PermError, "missing b= or bh=");
  }
  if (!signsFrom(f.signed_headers)) return decided(DkimResult::PermError, "from not signed");
  if (f.has_expiration) {
    if (f.has_timestamp && f.expiration <= f.timestamp) {
      return decided(DkimResult::PermError, "expiration precedes timestamp");
    }
    std::uint64_t now = platform::wallClockSeconds();
    if (now > 0 && now >= f.expiration) return decided(DkimResult::Fail, "signature expired");
  }

  Result<std::string> name;
  try {
    name = keyRecordName(f.selector, f.domain);
  } catch (const std::bad_alloc&) {
    return decided(DkimResult::TempError, "alloc failure");
  }
  Result<std::vector<KeyAnswer>> answers =
      name ? lookup.lookupKeyRecords(*name) : Result<std::vector<KeyAnswer>>(fail(name.error()));
  if (!answers) {
    LookupFailure failure = classifyLookupError(answers.error());
    return decided(failure.result, failure.reason);
  }
  KeySelection keys = selectKeyRecords(
      *answers, {f.algorithm, f.domain, f.has_identity ? std::optional(f.identity) : std::nullopt,
                 request.max_key_records});
  if (keys.count == 0) return decided(DkimResult::PermError, keys.reason);
  o.testing = keyRecordHasFlag(keys.records[0], "y");

  if (f.has_body_length && request.refuse_body_length) {
    return decided(DkimResult::Policy, "l= body length limit refused by policy");
  }
  Result<BodyHash> body_hash;
  try {
    body_hash = bodyHash(request.body, f.body_canonicalization,
                         f.has_body_length ? std::optional(f.body_length) : std::nullopt);
  } catch (const std::bad_alloc&) {
    body_hash = fail(Error::OutOfMemory);
  }
  if (!body_hash) {
    if (body_hash.error() == Error::BodyLengthExceedsBody) {
      return decided(DkimResult::PermError, "l= exceeds the canonicalized body length");
    }
    return decided(DkimResult::TempError, "body canonicalization failed");
  }
  auto claimed = decodeTag(f.body_hash, "invalid bh= base64", "invalid bh= encoding");
  if (!claimed) return decided(DkimResult::PermError, claimed.error());
  if (claimed->size() != body_hash->digest.size() ||
      !std::equal(claimed->begin(), claimed->end(), body_hash->digest.begin())) {
    return decided(DkimResult::Fail, "body hash mismatch");
  }

  Result<std::string> input;
  try {
    input = headerHashInput(request, f);
  } catch (const std::bad_alloc&) {
    input = fail(Error::OutOfMemory);
  }
  if (!input) return decided(DkimResult::TempError, "canonicalization failed");
  auto signature = decodeTag(f.signature, "invalid b= base64", "invalid b= encoding");
  if (!signature) return decided(DkimResult::PermError, signature.error());

  KeyVerifyResult first;
  for (std::size_t i = 0; i < keys.count; ++i) {
    const KeyRecord& key = keys.records[i];
    KeyVerifyResult r = cache ? cache->verify(f.algorithm, key.public_key, *signature, *input,
                                              request.minimum_key_bits)
                              : verifyWithKeyRecord(f.algorithm, key.public_key, *signature, *input,
                                                    request.minimum_key_bits);
    if (r.status == KeyVerifyResult::Status::Verified) {
      o.testing = keyRecordHasFlag(key, "y");
      o.unsigned_octets = body_hash->unsigned_octets;
      return decided(DkimResult::Pass, {});
    }
    if (i == 0) first = r;
  }
  if (first.status == KeyVerifyResult::Status::Rejected) {
    return decided(DkimResult::PermError, first.reason);
  }
  return decided(DkimResult::Fail, "signature mismatch");
}

}  // namespace

VerificationOutcome verifySignature(const VerificationRequest& request, KeyLookup& lookup,
                                    PublicKeyCache* keys) {
  Result<TagList> tags = parseTagList(request.signature_value);
  if (!tags) return outcome(DkimResult::PermError, signatureParseReason(tags.error()));
  Result<SignatureFields> fields = extractSignatureFields(request.signature_value);
  if (!fields) return outcome(DkimResult::PermError, signatureParseReason(fields.error()));
  const SignatureFields& f = *fields;
  if (f.domain.empty() || f.selector.empty() || f.signed_headers.empty() || f.version != "1") {
    return outcome(DkimResult::PermError, "malformed signature");
  }
  try {
    return verifyParsed(request, f, lookup, keys);
  } catch (const std::bad_alloc&) {
    VerificationOutcome o = outcome(DkimResult::TempError, "alloc failure");
    o.domain = f.domain;
    o.selector = f.selector;
    return o;
  }
}

}  // namespace quellsig
