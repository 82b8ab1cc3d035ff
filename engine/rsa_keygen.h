// Making new RSA keys and writing them out (the key generation tool).
//
// generateRsaKey: a fresh key of `bits` bits (KeygenCtxFailed,
// KeygenInitFailed, KeygenBitsFailed, KeygenFailed). The caller owns it.
// writeRsaPrivateKeyPem: the unencrypted PKCS#8 PEM block of the key, written
// to `fd`, which stays open and owned by the caller (FileCreateFailed if it
// cannot be wrapped, KeyWriteFailed if the write fails).
// rsaPublicKeyDer: the DER SubjectPublicKeyInfo (PubkeyExportFailed).
// Any thread may call these.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/private_key.h"
#include "platform/error.h"

namespace quellsig {

Result<PrivateKey> generateRsaKey(int bits);
Result<void> writeRsaPrivateKeyPem(const PrivateKey& key, int fd);
Result<std::vector<std::uint8_t>> rsaPublicKeyDer(const PrivateKey& key);

}  // namespace quellsig
