// Test keys made at run time with libcrypto.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/private_key.h"

namespace quellsig::testing {

// A fresh RSA key of `bits` bits; aborts the test binary on failure.
EvpPkeyPtr makeRsaKey(int bits);
// A fresh P-256 EC key or an Ed25519 key as libcrypto key objects.
EvpPkeyPtr makeEcKey();
EvpPkeyPtr makeEd25519Pkey();

// PEM private key text (PKCS#8); encrypted with AES-256-CBC under
// `passphrase` when it is not empty.
std::string pemPrivateKey(evp_pkey_st* key, const std::string& passphrase = "");
// A signing handle sharing `key` (its reference count is raised).
PrivateKey rsaPrivateKey(evp_pkey_st* key);
// DER SubjectPublicKeyInfo of the key.
std::vector<std::uint8_t> publicKeyDer(evp_pkey_st* key);

}  // namespace quellsig::testing
