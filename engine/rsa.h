// RSA private keys through libcrypto (signing, loading, and, declared in
// engine/rsa_keygen.h, key generation). Every libcrypto failure becomes a
// named error here, and the thread's libcrypto error queue is cleared, so
// nothing leaks upwards.
//
// rsaSign: RSASSA-PKCS1-v1_5 with SHA-256 over `input` (CtxCreateFailed,
// SignInitFailed, SignUpdateFailed, SignFinalFailed, OutOfMemory).
// rsaLoadPemFile: reads an unencrypted PEM private key (the errors of
// readPemKey in engine/rsa_public_key.h) that must be RSA (NotRsaKey) of at
// least kRsaMinimumKeyBits (RsaKeyTooSmall); the permission check is the
// caller's. rsaLoadPemDescriptor is the same for an open descriptor, which
// stays the caller's (KeyParseFailed when it cannot be read).
// rsaKeyBits: the modulus size of an RSA key, 0 for a key without one.
// Any thread may call these; each call makes its own libcrypto context.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/private_key.h"
#include "platform/error.h"

namespace quellsig {

Result<std::vector<std::uint8_t>> rsaSign(const PrivateKey& key, std::string_view input);
Result<PrivateKey> rsaLoadPemFile(std::string_view path);
Result<PrivateKey> rsaLoadPemDescriptor(int fd);
int rsaKeyBits(const PrivateKey& key);

}  // namespace quellsig
