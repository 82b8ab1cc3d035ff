// Loading signing keys.
//
// loadPemPrivateKey (the daemon's rule): the path must be shorter than 4096
// bytes (PathTooLong); it is opened without blocking (FileOpenFailed when
// access is denied, otherwise the open's own error) and must be a regular
// file (IsDir, NotRegularFile) that grants nothing to group or others
// (KeyFilePermissionsTooOpen); it is read from the same descriptor as an unencrypted PEM private key
// (KeyParseFailed), which must be RSA (NotRsaKey) of at least 1024 bits
// (RsaKeyTooSmall). The caller owns the returned key.
//
// ed25519KeyFromSeed derives the key pair of RFC 8032 from a 32-byte seed;
// IdentityElement if the public point is the identity.
//
// Any thread may call these; they share no state.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "engine/private_key.h"
#include "platform/error.h"

namespace quellsig {

Result<PrivateKey> loadPemPrivateKey(std::string_view path);
Result<PrivateKey> ed25519KeyFromSeed(std::span<const std::uint8_t, 32> seed);

}  // namespace quellsig
