#include "engine/public_key_cache.h"

#include "engine/rsa_public_key.h"

namespace quellsig {

PublicKeyCache::PublicKeyCache(std::size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}

KeyVerifyResult PublicKeyCache::verify(SignatureAlgorithm algorithm, std::string_view p_text,
                                       std::span<const std::uint8_t> signature,
                                       std::string_view header_hash_input, unsigned min_bits) {
  if (algorithm != SignatureAlgorithm::RsaSha256) {
    return verifyWithKeyRecord(algorithm, p_text, signature, header_hash_input, min_bits);
  }
  std::string key_text(p_text);
  auto it = entries_.find(key_text);
  if (it != entries_.end()) {
    by_age_.splice(by_age_.begin(), by_age_, it->second.age);
  } else {
    auto decoded = decodeRsaPublicKey(p_text);
    if (!decoded) return {KeyVerifyResult::Status::Rejected, decoded.error()};
    if (entries_.size() >= capacity_) {
      entries_.erase(by_age_.back());
      by_age_.pop_back();
    }
    by_age_.push_front(key_text);
    it = entries_
             .emplace(std::move(key_text),
                      Entry{std::move(decoded->key), decoded->bits, by_age_.begin()})
             .first;
  }
  if (it->second.bits < min_bits) return {KeyVerifyResult::Status::Rejected, "key too small"};
  return verifyRsaSignature(*it->second.key, signature, header_hash_input);
}

}  // namespace quellsig
