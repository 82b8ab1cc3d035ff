// The public half of a local PEM private key, for comparison with a published
// key record (the key test tool).
//
// readPemKey reads one unencrypted PEM private key of any type without the
// signing loader's permission and size rules: PathTooLong (4096 bytes or
// more), FileOpenFailed, KeyParseFailed. The caller owns the key.
// rsaKeyBits is the size of an RSA key, or nullopt for any other key type
// (a non-positive size counts as 0). exportPublicKeyDer gives the DER
// SubjectPublicKeyInfo (i2d_PUBKEY), or PubkeyExportFailed.
// Any thread may call these on keys it holds.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/private_key.h"
#include "platform/error.h"

namespace quellsig {

Result<EvpPkeyPtr> readPemKey(std::string_view path);
std::optional<unsigned> rsaKeyBits(evp_pkey_st& key);
Result<std::vector<std::uint8_t>> exportPublicKeyDer(evp_pkey_st& key);

}  // namespace quellsig
