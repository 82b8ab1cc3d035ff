#include "engine/key_verify.h"

#include <algorithm>
#include <new>
#include <vector>

#include "engine/base64.h"
#include "engine/canonicalization.h"
#include "engine/ed25519.h"
#include "engine/rsa_public_key.h"

namespace quellsig {
namespace {

using Undecodable = std::unexpected<std::string_view>;

KeyVerifyResult rejected(std::string_view reason) {
  return {KeyVerifyResult::Status::Rejected, reason};
}

std::expected<DecodedPublicKey, std::string_view> decodeEd25519(std::string_view p_text) {
  Result<std::vector<std::uint8_t>> bytes = decodeBase64Tag(p_text);
  if (!bytes) return Undecodable("crypto verify error");
  if (bytes->size() != 32) return Undecodable("unusable public key");
  DecodedPublicKey key;
  std::copy(bytes->begin(), bytes->end(), key.ed25519.begin());
  key.ed25519_refused = !ed25519CheckPoint(key.ed25519).has_value();
  return key;
}

}  // namespace

std::expected<DecodedPublicKey, std::string_view> decodePublicKey(SignatureAlgorithm algorithm,
                                                                  std::string_view p_text) {
  if (algorithm == SignatureAlgorithm::Ed25519Sha256) return decodeEd25519(p_text);
  auto rsa = decodeRsaPublicKey(p_text);
  if (!rsa) return Undecodable(rsa.error());
  DecodedPublicKey key;
  key.rsa = std::move(rsa->key);
  key.rsa_bits = rsa->bits;
  return key;
}

KeyVerifyResult verifyWithDecodedKey(const DecodedPublicKey& key, SignatureAlgorithm algorithm,
                                     std::span<const std::uint8_t> signature,
                                     std::string_view header_hash_input, unsigned min_bits) {
  if (algorithm == SignatureAlgorithm::RsaSha256) {
    if (key.rsa_bits < min_bits) return rejected("key too small");
    return verifyRsaSignature(*key.rsa, signature, header_hash_input);
  }
  if (signature.size() != 64) return rejected("crypto verify error");
  // Refused points and scalars are a failed signature, not an error.
  if (key.ed25519_refused) return {KeyVerifyResult::Status::NotVerified, {}};
  // RFC 8463: Ed25519 signs the SHA-256 digest of the header hash input.
  Result<Sha256Digest> digest = sha256(header_hash_input);
  if (!digest) return rejected("crypto verify error");
  bool ok = ed25519VerifyWithCheckedKey(key.ed25519, *digest, signature.first<64>());
  return {ok ? KeyVerifyResult::Status::Verified : KeyVerifyResult::Status::NotVerified, {}};
}

KeyVerifyResult verifyWithKeyRecord(SignatureAlgorithm algorithm, std::string_view p_text,
                                    std::span<const std::uint8_t> signature,
                                    std::string_view header_hash_input, unsigned min_bits) {
  try {
    auto key = decodePublicKey(algorithm, p_text);
    if (!key) return rejected(key.error());
    return verifyWithDecodedKey(*key, algorithm, signature, header_hash_input, min_bits);
  } catch (const std::bad_alloc&) {
    return rejected("crypto verify error");
  }
}

}  // namespace quellsig
