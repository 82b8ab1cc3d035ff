// RSA private keys through libcrypto (signing; loading is declared in
// engine/key_loading.h, key generation in engine/rsa_keygen.h). Every
// libcrypto failure becomes a named error here, and the thread's libcrypto
// error queue is cleared, so nothing leaks upwards.
//
// rsaSign: RSASSA-PKCS1-v1_5 with SHA-256 over `input` (CtxCreateFailed,
// SignInitFailed, SignUpdateFailed, SignFinalFailed, OutOfMemory).
// rsaKeyBits: the modulus size of an RSA key; nullopt for a key that is not
// RSA, as for the libcrypto key object (engine/rsa_public_key.h).
// Any thread may call these; each call makes its own libcrypto context.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/private_key.h"
#include "platform/error.h"

namespace quellsig {

Result<std::vector<std::uint8_t>> rsaSign(const PrivateKey& key, std::string_view input);
std::optional<unsigned> rsaKeyBits(const PrivateKey& key);

}  // namespace quellsig
