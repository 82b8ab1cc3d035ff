#include "engine/private_key.h"

#include "engine/secure_zero.h"

namespace quellsig {

PrivateKey::~PrivateKey() { secureZero(ed25519_secret.data(), ed25519_secret.size()); }

}  // namespace quellsig
