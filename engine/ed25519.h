// The plain Ed25519 primitive of RFC 8032 (pure Ed25519, no prehash), over
// libsodium, with strict verification.
//
// ed25519Sign signs `message` with the key pair of `key`: NotEd25519Key if the
// handle holds no Ed25519 pair, KeyMismatch if its public key differs from the
// second half of its secret key. Signatures are deterministic.
//
// ed25519Verify returns true only if the signature verifies. It refuses,
// before any arithmetic, S not below the group order L (NonCanonical), and a
// public key A or a point R that is not the canonical encoding of a curve
// point (NonCanonical), is the identity (IdentityElement) or has small order
// (WeakPublicKey). A failing group equation is false, not an error.
//
// ed25519KeyFromSeed derives the key pair of RFC 8032 from a 32-byte seed;
// IdentityElement if the public point is the identity. The caller owns it.
//
// Pure functions; any thread may call them.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "engine/private_key.h"
#include "platform/error.h"

namespace quellsig {

using Ed25519Signature = std::array<std::uint8_t, 64>;

Result<PrivateKey> ed25519KeyFromSeed(std::span<const std::uint8_t, 32> seed);

Result<Ed25519Signature> ed25519Sign(const PrivateKey& key, std::span<const std::uint8_t> message);

Result<bool> ed25519Verify(std::span<const std::uint8_t, 32> public_key,
                           std::span<const std::uint8_t> message,
                           std::span<const std::uint8_t, 64> signature);

// For a public key that already passed ed25519CheckPoint (a decoded key kept
// for many signatures): refuses S not below L, and leaves R to libsodium's
// strict verification, which refuses a small-order R, while a non-canonical R
// can never equal the recomputed one. So the result is that of ed25519Verify,
// with "not verified" standing for its errors.
bool ed25519VerifyWithCheckedKey(std::span<const std::uint8_t, 32> public_key,
                                 std::span<const std::uint8_t> message,
                                 std::span<const std::uint8_t, 64> signature);

// The point checks ed25519Verify applies to A and R.
Result<void> ed25519CheckPoint(std::span<const std::uint8_t, 32> point);

}  // namespace quellsig
