// RSA public keys: decoded once from a key record and verified against many
// signatures, and read from a local PEM file for comparison with a record.
// Like engine/rsa.h, a libcrypto border: failures become reason texts or
// named errors and the thread's libcrypto error queue is cleared.
//
// decodeRsaPublicKey turns a p= text into a key object, or a reason text of
// the verification table: "crypto verify error" (bad base64), "unusable public
// key" (not a DER SubjectPublicKeyInfo), "p= is not an RSA key". The caller
// owns the key. verifyRsaSignature checks an rsa-sha256 signature over the
// header hash input: Verified, NotVerified, or Rejected "crypto verify error"
// when libcrypto cannot set up the check. The size floor is the caller's.
//
// rsaKeyBits is the size of an RSA key, or nullopt for anything that is not a
// usable RSA key (another key type, or no positive size).
//
// Any thread may call these with keys it holds.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>

#include "engine/key_verify_result.h"
#include "engine/private_key.h"
#include "platform/error.h"

namespace quellsig {

struct DecodedRsaKey {
  EvpPkeyPtr key;
  unsigned bits = 0;
};

std::expected<DecodedRsaKey, std::string_view> decodeRsaPublicKey(std::string_view p_text);
KeyVerifyResult verifyRsaSignature(evp_pkey_st& key, std::span<const std::uint8_t> signature,
                                   std::string_view header_hash_input);

std::optional<unsigned> rsaKeyBits(evp_pkey_st& key);

}  // namespace quellsig
