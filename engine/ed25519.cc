#include "engine/ed25519.h"

#include <sodium.h>

#include <algorithm>

namespace quellsig {
namespace {

// The group order L = 2^252 + 27742317777372353535851937790883648493, little endian.
constexpr std::array<std::uint8_t, 32> kGroupOrder = {
    0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};

constexpr std::array<std::uint8_t, 32> kIdentity = {1};

bool scalarBelowOrder(std::span<const std::uint8_t, 32> s) {
  for (int i = 31; i >= 0; --i) {
    if (s[i] != kGroupOrder[i]) return s[i] < kGroupOrder[i];
  }
  return false;  // equal to L
}

// y (the low 255 bits) must be below p = 2^255 - 19.
bool canonicalY(std::span<const std::uint8_t, 32> p) {
  if ((p[31] & 0x7f) != 0x7f) return true;
  for (int i = 30; i >= 1; --i) {
    if (p[i] != 0xff) return true;
  }
  return p[0] < 0xed;
}

bool isIdentityY(std::span<const std::uint8_t, 32> p) {
  if (p[0] != 1 || (p[31] & 0x7f) != 0) return false;
  return std::all_of(p.begin() + 1, p.begin() + 31, [](std::uint8_t b) { return b == 0; });
}

// sodium_init only picks implementations and is safe to call from many
// threads; the static makes it run once.
void ensureSodium() {
  static const int ready = sodium_init();
  (void)ready;
}

}  // namespace

Result<PrivateKey> ed25519KeyFromSeed(std::span<const std::uint8_t, 32> seed) {
  ensureSodium();
  PrivateKey key;
  key.kind = 1;
  crypto_sign_seed_keypair(key.ed25519_public.data(), key.ed25519_secret.data(), seed.data());
  if (isIdentityY(key.ed25519_public)) return fail(Error::IdentityElement);
  key.has_ed25519 = true;
  return key;
}

Result<void> ed25519CheckPoint(std::span<const std::uint8_t, 32> point) {
  if (!canonicalY(point)) return fail(Error::NonCanonical);
  if (isIdentityY(point)) return fail(Error::IdentityElement);
  // Small order means [8]P is the identity. The additions also refuse
  // encodings that are not on the curve.
  std::array<std::uint8_t, 32> p2, p4, p8;
  if (crypto_core_ed25519_add(p2.data(), point.data(), point.data()) != 0 ||
      crypto_core_ed25519_add(p4.data(), p2.data(), p2.data()) != 0 ||
      crypto_core_ed25519_add(p8.data(), p4.data(), p4.data()) != 0) {
    return fail(Error::NonCanonical);
  }
  if (p8 == kIdentity) return fail(Error::WeakPublicKey);
  return {};
}

Result<Ed25519Signature> ed25519Sign(const PrivateKey& key, std::span<const std::uint8_t> message) {
  if (!key.has_ed25519) return fail(Error::NotEd25519Key);
  if (!std::equal(key.ed25519_public.begin(), key.ed25519_public.end(),
                  key.ed25519_secret.begin() + 32)) {
    return fail(Error::KeyMismatch);
  }
  ensureSodium();
  Ed25519Signature sig;
  crypto_sign_detached(sig.data(), nullptr, message.data(), message.size(),
                       key.ed25519_secret.data());
  return sig;
}

Result<bool> ed25519Verify(std::span<const std::uint8_t, 32> public_key,
                           std::span<const std::uint8_t> message,
                           std::span<const std::uint8_t, 64> signature) {
  ensureSodium();
  if (!scalarBelowOrder(signature.subspan<32, 32>())) return fail(Error::NonCanonical);
  if (auto ok = ed25519CheckPoint(public_key); !ok) return fail(ok.error());
  if (auto ok = ed25519CheckPoint(signature.subspan<0, 32>()); !ok) return fail(ok.error());
  return crypto_sign_verify_detached(signature.data(), message.data(), message.size(),
                                     public_key.data()) == 0;
}

bool ed25519VerifyWithCheckedKey(std::span<const std::uint8_t, 32> public_key,
                                 std::span<const std::uint8_t> message,
                                 std::span<const std::uint8_t, 64> signature) {
  ensureSodium();
  if (!scalarBelowOrder(signature.subspan<32, 32>())) return false;
  return crypto_sign_verify_detached(signature.data(), message.data(), message.size(),
                                     public_key.data()) == 0;
}

}  // namespace quellsig
