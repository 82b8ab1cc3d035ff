#include "engine/key_verify.h"

#include "engine/base64.h"
#include "engine/canonicalization.h"
#include "engine/ed25519.h"
#include "engine/rsa.h"

namespace quellsig {
namespace {

KeyVerifyResult rejected(std::string_view reason) {
  return {KeyVerifyResult::Status::Rejected, reason};
}

KeyVerifyResult verifyEd25519(std::span<const std::uint8_t> key,
                              std::span<const std::uint8_t> signature,
                              std::string_view header_hash_input) {
  if (key.size() != 32) return rejected("unusable public key");
  if (signature.size() != 64) return rejected("crypto verify error");
  Result<Sha256Digest> digest = sha256(header_hash_input);
  if (!digest) return rejected("crypto verify error");
  // Refused points and scalars are a failed signature, not an error.
  auto ok = ed25519Verify(key.first<32>(), *digest, signature.first<64>());
  if (ok && *ok) return {KeyVerifyResult::Status::Verified, {}};
  return {KeyVerifyResult::Status::NotVerified, {}};
}

}  // namespace

KeyVerifyResult verifyWithKeyRecord(SignatureAlgorithm algorithm, std::string_view p_text,
                                    std::span<const std::uint8_t> signature,
                                    std::string_view header_hash_input, unsigned min_bits) {
  try {
    auto key = decodeBase64Tag(p_text);
    if (!key) return rejected("crypto verify error");
    if (algorithm == SignatureAlgorithm::Ed25519Sha256) {
      return verifyEd25519(*key, signature, header_hash_input);
    }
    return rsaVerify(*key, signature, header_hash_input, min_bits);
  } catch (const std::bad_alloc&) {
    return rejected("crypto verify error");
  }
}

}  // namespace quellsig
