#include "engine/public_key_cache.h"

#include "engine/base64.h"
#include "engine/canonicalization.h"
#include "engine/ed25519.h"
#include "engine/rsa_public_key.h"

namespace quellsig {
namespace {

KeyVerifyResult rejected(std::string_view reason) {
  return {KeyVerifyResult::Status::Rejected, reason};
}

// The Ed25519 key of a p= text, or the reason verifyWithKeyRecord gives.
std::expected<std::array<std::uint8_t, 32>, std::string_view> decodeEd25519(std::string_view p) {
  Result<std::vector<std::uint8_t>> bytes = decodeBase64Tag(p);
  if (!bytes) return std::unexpected(std::string_view("crypto verify error"));
  if (bytes->size() != 32) return std::unexpected(std::string_view("unusable public key"));
  std::array<std::uint8_t, 32> key;
  std::copy(bytes->begin(), bytes->end(), key.begin());
  return key;
}

}  // namespace

PublicKeyCache::PublicKeyCache(std::size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}

PublicKeyCache::Entry* PublicKeyCache::find(SignatureAlgorithm algorithm, std::string_view p_text,
                                            std::string_view& reason) {
  std::string id(1, algorithm == SignatureAlgorithm::RsaSha256 ? 'r' : 'e');
  id.append(p_text);
  if (auto it = entries_.find(id); it != entries_.end()) {
    by_age_.splice(by_age_.begin(), by_age_, it->second.age);
    return &it->second;
  }
  Entry entry;
  if (algorithm == SignatureAlgorithm::RsaSha256) {
    auto decoded = decodeRsaPublicKey(p_text);
    if (!decoded) {
      reason = decoded.error();
      return nullptr;
    }
    entry.rsa = std::move(decoded->key);
    entry.bits = decoded->bits;
  } else {
    auto decoded = decodeEd25519(p_text);
    if (!decoded) {
      reason = decoded.error();
      return nullptr;
    }
    entry.ed25519 = *decoded;
    entry.ed25519_refused = !ed25519CheckPoint(entry.ed25519).has_value();
  }
  if (entries_.size() >= capacity_) {
    entries_.erase(by_age_.back());
    by_age_.pop_back();
  }
  by_age_.push_front(id);
  entry.age = by_age_.begin();
  return &entries_.emplace(std::move(id), std::move(entry)).first->second;
}

KeyVerifyResult PublicKeyCache::verify(SignatureAlgorithm algorithm, std::string_view p_text,
                                       std::span<const std::uint8_t> signature,
                                       std::string_view header_hash_input, unsigned min_bits) {
  std::string_view reason;
  Entry* key = find(algorithm, p_text, reason);
  if (key == nullptr) return rejected(reason);
  if (algorithm == SignatureAlgorithm::RsaSha256) {
    if (key->bits < min_bits) return rejected("key too small");
    return verifyRsaSignature(*key->rsa, signature, header_hash_input);
  }
  if (signature.size() != 64) return rejected("crypto verify error");
  if (key->ed25519_refused) return {KeyVerifyResult::Status::NotVerified, {}};
  auto digest = sha256(header_hash_input);
  if (!digest) return rejected("crypto verify error");
  bool ok = ed25519VerifyWithCheckedKey(std::span<const std::uint8_t, 32>(key->ed25519), *digest,
                                        signature.first<64>());
  return {ok ? KeyVerifyResult::Status::Verified : KeyVerifyResult::Status::NotVerified, {}};
}

}  // namespace quellsig
