#include "engine/private_key.h"

#include <sodium.h>

namespace quellsig {

PrivateKey::~PrivateKey() { sodium_memzero(ed25519_secret.data(), ed25519_secret.size()); }

}  // namespace quellsig
