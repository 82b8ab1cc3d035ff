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
// readPemKey reads one unencrypted PEM private key of any type without the
// signing loader's permission and size rules: PathTooLong (4096 bytes or
// more), FileOpenFailed, KeyParseFailed; from a descriptor, which stays the
// caller's, it reads from the current offset. rsaKeyBits is the size of an RSA key,
// or nullopt for another key type (a non-positive size counts as 0).
//
// Any thread may call these with keys it holds.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>

#include "engine/key_verify.h"
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

Result<EvpPkeyPtr> readPemKey(std::string_view path);
Result<EvpPkeyPtr> readPemKey(int fd);
std::optional<unsigned> rsaKeyBits(evp_pkey_st& key);

}  // namespace quellsig
