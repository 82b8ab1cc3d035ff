// Signing a header hash input with a PrivateKey.
//
// signHeaderHashInput: rsa-sha256 through EVP_DigestSign* (PKCS#1 v1.5), or
// ed25519-sha256 over SHA-256 of the input (RFC 8463). Errors:
// CtxCreateFailed, SignInitFailed, SignUpdateFailed, SignFinalFailed (RSA),
// NotEd25519Key, KeyMismatch (Ed25519), OutOfMemory. Any thread may call it.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/algorithms.h"
#include "engine/private_key.h"
#include "platform/error.h"

namespace quellsig {

Result<std::vector<std::uint8_t>> signHeaderHashInput(const PrivateKey& key,
                                                      SignatureAlgorithm algorithm,
                                                      std::string_view header_hash_input);

}  // namespace quellsig
