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
  Result<std::vector<std::uint8_t>> bytes = decodeBase64Tag(text);
  if (!bytes) return std::unexpected(bytes.error() == Error::OutOfMemory ? no_memory : bad);
  return std::move(*bytes);
}

Result<std::string> headerHashInput(const VerificationRequest& request, const SignatureFields& f) {
  Result<std::vector<std::string_view>> selected =
      selectSignedHeaders(f.signed_headers, request.raw_headers);
  if (!selected) return fail(selected.error());
  Result<std::string> stripped = removeSignatureValue(request.signature_field);
  if (!stripped) return fail(stripped.error());
  return buildHeaderHashInput(*selected, *stripped, f.header_canonicalization);
}

// RFC 6376 6.1.1: the domain of i= is d= or a subdomain of it. The domain is
// what follows the last "@" (a quoted local-part may hold one).
bool identityWithinDomain(std::string_view identity, std::string_view domain) {
  std::size_t at = identity.rfind('@');
  if (at == std::string_view::npos) return false;
  std::string_view id_domain = identity.substr(at + 1);
  if (id_domain.size() == domain.size()) return namesEqual(id_domain, domain);
  if (id_domain.size() < domain.size() + 1) return false;
  std::size_t cut = id_domain.size() - domain.size();
  return id_domain[cut - 1] == '.' && namesEqual(id_domain.substr(cut), domain);
}

// Each stage returns the reason that decides the outcome, or nothing to go on.
struct Decision {
  DkimResult result;
  std::string_view reason;
};
using Stage = std::optional<Decision>;

// Required tags, expiry and the i= domain: everything decided before a query.
Stage checkFields(const SignatureFields& f) {
  if (f.signature.empty() || f.body_hash.empty()) {
    return Decision{DkimResult::PermError, "missing b= or bh="};
  }
  if (!signsFrom(f.signed_headers)) return Decision{DkimResult::PermError, "from not signed"};
  if (f.has_expiration) {
    if (f.has_timestamp && f.expiration <= f.timestamp) {
      return Decision{DkimResult::PermError, "expiration precedes timestamp"};
    }
    std::uint64_t now = platform::wallClockSeconds();
    if (now > 0 && now >= f.expiration) return Decision{DkimResult::Fail, "signature expired"};
  }
  if (f.has_identity && !identityWithinDomain(f.identity, f.domain)) {
    return Decision{DkimResult::PermError,
                    "i= domain is not d= or a subdomain of it (RFC 6376 6.1.1)"};
  }
  return std::nullopt;
}

// The key records for s= and d=, with the ones that suit this signature kept.
// The selection borrows from `answers`, which receives what the lookup found.
std::expected<KeySelection, Decision> lookUpKeys(const VerificationRequest& request,
                                                 const SignatureFields& f, KeyLookup& lookup,
                                                 std::vector<KeyAnswer>& answers) {
  Result<std::string> name = keyRecordName(f.selector, f.domain);
  Result<std::vector<KeyAnswer>> found =
      name ? lookup.lookupKeyRecords(*name) : Result<std::vector<KeyAnswer>>(fail(name.error()));
  if (!found) {
    LookupFailure failure = classifyLookupError(found.error());
    return std::unexpected(Decision{failure.result, failure.reason});
  }
  answers = std::move(*found);
  KeySelection keys = selectKeyRecords(
      answers, {f.algorithm, f.domain, f.has_identity ? std::optional(f.identity) : std::nullopt,
                request.max_key_records});
  if (keys.count == 0) return std::unexpected(Decision{DkimResult::PermError, keys.reason});
  return keys;
}

// The body hash against bh=; the canonical octets beyond l= on a match.
std::expected<std::uint64_t, Decision> checkBodyHash(const VerificationRequest& request,
                                                     const SignatureFields& f) {
  if (f.has_body_length && request.refuse_body_length) {
    return std::unexpected(Decision{DkimResult::Policy, "l= body length limit refused by policy"});
  }
  Result<BodyHash> body_hash =
      bodyHash(request.body, f.body_canonicalization,
               f.has_body_length ? std::optional(f.body_length) : std::nullopt);
  if (!body_hash) {
    if (body_hash.error() == Error::BodyLengthExceedsBody) {
      return std::unexpected(
          Decision{DkimResult::PermError, "l= exceeds the canonicalized body length"});
    }
    return std::unexpected(Decision{DkimResult::TempError, "body canonicalization failed"});
  }
  auto claimed = decodeTag(f.body_hash, "invalid bh= base64", "invalid bh= encoding");
  if (!claimed) return std::unexpected(Decision{DkimResult::PermError, claimed.error()});
  if (claimed->size() != body_hash->digest.size() ||
      !std::equal(claimed->begin(), claimed->end(), body_hash->digest.begin())) {
    return std::unexpected(Decision{DkimResult::Fail, "body hash mismatch"});
  }
  return body_hash->unsigned_octets;
}

// The header hash and b= against each selected key in turn; the record that
// verified it, or the decision of the first key.
std::expected<const KeyRecord*, Decision> checkSignature(const VerificationRequest& request,
                                                         const SignatureFields& f,
                                                         const KeySelection& keys,
                                                         PublicKeyCache* cache) {
  Result<std::string> input = headerHashInput(request, f);
  if (!input) return std::unexpected(Decision{DkimResult::TempError, "canonicalization failed"});
  auto signature = decodeTag(f.signature, "invalid b= base64", "invalid b= encoding");
  if (!signature) return std::unexpected(Decision{DkimResult::PermError, signature.error()});

  KeyVerifyResult first;
  for (std::size_t i = 0; i < keys.count; ++i) {
    const KeyRecord& key = keys.records[i];
    KeyVerifyResult r = cache ? cache->verify(f.algorithm, key.public_key, *signature, *input,
                                              request.minimum_key_bits)
                              : verifyWithKeyRecord(f.algorithm, key.public_key, *signature, *input,
                                                    request.minimum_key_bits);
    if (r.status == KeyVerifyResult::Status::Verified) return &key;
    if (i == 0) first = r;
  }
  if (first.status == KeyVerifyResult::Status::Rejected) {
    return std::unexpected(Decision{DkimResult::PermError, first.reason});
  }
  return std::unexpected(Decision{DkimResult::Fail, "signature mismatch"});
}

VerificationOutcome verifyParsed(const VerificationRequest& request, const SignatureFields& f,
                                 KeyLookup& lookup, PublicKeyCache* cache) {
  VerificationOutcome o;
  o.domain = f.domain;
  o.selector = f.selector;
  auto decided = [&o](Decision d) {
    o.result = d.result;
    o.reason = d.reason;
    return o;
  };

  if (Stage d = checkFields(f)) return decided(*d);
  std::vector<KeyAnswer> answers;
  auto keys = lookUpKeys(request, f, lookup, answers);
  if (!keys) return decided(keys.error());
  o.testing = keyRecordHasFlag(keys->records[0], "y");
  auto unsigned_octets = checkBodyHash(request, f);
  if (!unsigned_octets) return decided(unsigned_octets.error());
  auto verified_by = checkSignature(request, f, *keys, cache);
  if (!verified_by) return decided(verified_by.error());
  o.testing = keyRecordHasFlag(**verified_by, "y");
  o.unsigned_octets = *unsigned_octets;
  return decided({DkimResult::Pass, {}});
}

}  // namespace

VerificationOutcome verifySignature(const VerificationRequest& request, KeyLookup& lookup,
                                    PublicKeyCache* keys) {
  Result<TagList> tags = parseTagList(request.signature_value);
  if (!tags) return outcome(DkimResult::PermError, signatureParseReason(tags.error()));
  Result<SignatureFields> fields = extractSignatureFields(*tags);
  if (!fields) return outcome(DkimResult::PermError, signatureParseReason(fields.error()));
  const SignatureFields& f = *fields;
  if (f.domain.empty() || f.selector.empty() || f.signed_headers.empty() || f.version != "1") {
    return outcome(DkimResult::PermError, "malformed signature");
  }
  // The one guard against running out of memory part way: every stage
  // allocates (names, canonical forms, decoded tags), none catches.
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
