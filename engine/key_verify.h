// Verifying a signature with the public key of one key record.
//
// decodePublicKey turns a p= text into the key of one algorithm, or a reason
// text: "crypto verify error" (bad base64), "unusable public key" (not a DER
// SubjectPublicKeyInfo, or not 32 bytes for Ed25519), "p= is not an RSA key".
// An Ed25519 key whose point checks fail decodes, marked refused: nothing
// verifies with it. The caller owns the decoded key; it is only read by
// verifyWithDecodedKey, so one thread may keep it for many signatures.
//
// verifyWithDecodedKey and verifyWithKeyRecord never fail: they return
// Verified, NotVerified (the verifier reports "signature mismatch"), or
// Rejected with one of the fixed reason texts "crypto verify error",
// "unusable public key", "p= is not an RSA key" or "key too small". min_bits
// applies to RSA only. verifyWithKeyRecord is decodePublicKey followed by
// verifyWithDecodedKey. Any thread may call them.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>

#include "engine/algorithms.h"
#include "engine/key_verify_result.h"
#include "engine/private_key.h"

namespace quellsig {

struct DecodedPublicKey {
  EvpPkeyPtr rsa;  // set for rsa-sha256
  unsigned rsa_bits = 0;
  std::array<std::uint8_t, 32> ed25519{};
  bool ed25519_refused = false;  // the point checks refuse the key
};

std::expected<DecodedPublicKey, std::string_view> decodePublicKey(SignatureAlgorithm algorithm,
                                                                  std::string_view p_text);

KeyVerifyResult verifyWithDecodedKey(const DecodedPublicKey& key, SignatureAlgorithm algorithm,
                                     std::span<const std::uint8_t> signature,
                                     std::string_view header_hash_input, unsigned min_bits);

KeyVerifyResult verifyWithKeyRecord(SignatureAlgorithm algorithm, std::string_view p_text,
                                    std::span<const std::uint8_t> signature,
                                    std::string_view header_hash_input, unsigned min_bits);

}  // namespace quellsig
