// The two signature algorithms and two canonicalizations, with their names
// exactly as written in a= and c= (byte-exact, case-sensitive).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quellsig {

enum class SignatureAlgorithm { RsaSha256, Ed25519Sha256 };

// The smallest RSA key signed with or accepted (RFC 8301 3.2).
inline constexpr std::uint32_t kRsaMinimumKeyBits = 1024;
enum class Canonicalization { Simple, Relaxed };

constexpr std::string_view algorithmName(SignatureAlgorithm a) {
  return a == SignatureAlgorithm::RsaSha256 ? "rsa-sha256" : "ed25519-sha256";
}
constexpr std::string_view canonicalizationName(Canonicalization c) {
  return c == Canonicalization::Simple ? "simple" : "relaxed";
}
constexpr std::optional<SignatureAlgorithm> parseAlgorithmName(std::string_view s) {
  if (s == "rsa-sha256") return SignatureAlgorithm::RsaSha256;
  if (s == "ed25519-sha256") return SignatureAlgorithm::Ed25519Sha256;
  return std::nullopt;
}

}  // namespace quellsig
