// The public key that a local private key file should have published as p=.
//
// ed25519SeedFilePublicKey reads an armoured seed file (the body between the
// first "-----" LF and the following LF "-----", whitespace removed, base64 of
// exactly 32 bytes) and derives the public key. Errors: PathTooLong (1024 bytes
// or more), the file's read error, FileTooBig (over 4096 bytes), InvalidPem,
// InvalidArgument (bad base64), InvalidSeedLength, IdentityElement. The file
// contents and the seed are zeroed before their memory is released.
//
// rsaPemFilePublicKey reads a PEM private key (errors of readPemKey, then
// PubkeyExportFailed) and returns its DER SubjectPublicKeyInfo. It writes the
// key test tool's warnings about a file readable beyond its owner and a key
// under 1024 bits to `warnings`; they do not stop it.
#pragma once

#include <cstdint>
#include <ostream>
#include <string_view>
#include <vector>

#include "platform/error.h"

namespace quellsig {

Result<std::vector<std::uint8_t>> ed25519SeedFilePublicKey(std::string_view path);
Result<std::vector<std::uint8_t>> rsaPemFilePublicKey(std::string_view path,
                                                      std::ostream& warnings);

}  // namespace quellsig
