// PrivateKey: a signing key, either an RSA key object of libcrypto (loaded
// from PEM) or an Ed25519 key pair derived from a 32-byte seed.
//
// Ownership: the loader returns the key by value/unique_ptr to whoever loaded
// it (the signing configuration or a tool run); it is read-only afterwards and
// may be used by several threads at once, each signing with its own libcrypto
// context. The destructor frees the RSA object and zeroes the Ed25519 secret.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

struct evp_pkey_st;  // libcrypto's EVP_PKEY

namespace quellsig {

struct EvpPkeyFree {
  void operator()(evp_pkey_st* key) const;
};
using EvpPkeyPtr = std::unique_ptr<evp_pkey_st, EvpPkeyFree>;

struct PrivateKey {
  EvpPkeyPtr rsa;         // set for an RSA key
  std::uint8_t kind = 0;  // 0 for an RSA key, 1 for an Ed25519 pair
  std::array<std::uint8_t, 32> ed25519_public{};
  std::array<std::uint8_t, 64> ed25519_secret{};  // seed followed by the public key
  bool has_ed25519 = false;

  PrivateKey() = default;
  PrivateKey(PrivateKey&&) noexcept = default;
  PrivateKey& operator=(PrivateKey&&) noexcept = default;
  PrivateKey(const PrivateKey&) = delete;
  PrivateKey& operator=(const PrivateKey&) = delete;
  ~PrivateKey();
};

}  // namespace quellsig
