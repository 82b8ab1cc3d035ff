// Loading private keys from files.
//
// loadPemPrivateKey (the daemon's rule): the path must be shorter than 4096
// bytes (PathTooLong); it is opened without blocking (FileOpenFailed when
// access is denied, otherwise the open's own error) and must be a regular
// file (IsDir, NotRegularFile) that grants nothing to group or others
// (KeyFilePermissionsTooOpen); it is read from the same descriptor as an
// unencrypted PEM private key (KeyParseFailed), which must be RSA (NotRsaKey)
// of at least kRsaMinimumKeyBits (RsaKeyTooSmall). The caller owns the
// returned key.
//
// readPemKey reads one unencrypted PEM private key of any type without the
// signing loader's permission and size rules: PathTooLong (4096 bytes or
// more), FileOpenFailed, KeyParseFailed. The caller owns the key object.
//
// ed25519SeedBase64 finds the base64 of an Ed25519 seed in a key file's text:
// inside the armour lines quellsig-genkey writes (kEd25519SeedBegin, then
// kEd25519SeedEnd, with only white space around them), or the whole text
// when it has no armour; nullopt for broken armour. It borrows from `text`.
//
// Any thread may call these; they share no state.
#pragma once

#include <optional>
#include <string_view>

#include "engine/algorithms.h"
#include "engine/private_key.h"
#include "platform/error.h"

namespace quellsig {

inline constexpr std::string_view kEd25519SeedBegin = "-----BEGIN ED25519 PRIVATE KEY-----";
inline constexpr std::string_view kEd25519SeedEnd = "-----END ED25519 PRIVATE KEY-----";

Result<PrivateKey> loadPemPrivateKey(std::string_view path);
Result<EvpPkeyPtr> readPemKey(std::string_view path);
std::optional<std::string_view> ed25519SeedBase64(std::string_view text);

}  // namespace quellsig
