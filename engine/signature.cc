#include "engine/signature.h"

#include <new>

#include "engine/canonicalization.h"
#include "engine/ed25519.h"
#include "engine/rsa.h"

namespace quellsig {

Result<std::vector<std::uint8_t>> signHeaderHashInput(const PrivateKey& key,
                                                      SignatureAlgorithm algorithm,
                                                      std::string_view header_hash_input) {
  if (algorithm == SignatureAlgorithm::RsaSha256) return rsaSign(key, header_hash_input);

  // RFC 8463: Ed25519 signs the SHA-256 digest of the header hash input.
  auto digest = sha256(header_hash_input);
  if (!digest) return fail(digest.error());
  auto sig = ed25519Sign(key, *digest);
  if (!sig) return fail(sig.error());
  try {
    return std::vector<std::uint8_t>(sig->begin(), sig->end());
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

}  // namespace quellsig
