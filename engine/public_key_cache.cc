#include "engine/public_key_cache.h"

namespace quellsig {

PublicKeyCache::PublicKeyCache(std::size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}

PublicKeyCache::Entry* PublicKeyCache::find(SignatureAlgorithm algorithm, std::string_view p_text,
                                            std::string_view& reason) {
  std::string id(1, algorithm == SignatureAlgorithm::RsaSha256 ? 'r' : 'e');
  id.append(p_text);
  if (auto it = entries_.find(id); it != entries_.end()) {
    by_age_.splice(by_age_.begin(), by_age_, it->second.age);
    return &it->second;
  }
  auto decoded = decodePublicKey(algorithm, p_text);
  if (!decoded) {
    reason = decoded.error();
    return nullptr;
  }
  if (entries_.size() >= capacity_) {
    entries_.erase(by_age_.back());
    by_age_.pop_back();
  }
  by_age_.push_front(id);
  Entry entry{std::move(*decoded), by_age_.begin()};
  return &entries_.emplace(std::move(id), std::move(entry)).first->second;
}

KeyVerifyResult PublicKeyCache::verify(SignatureAlgorithm algorithm, std::string_view p_text,
                                       std::span<const std::uint8_t> signature,
                                       std::string_view header_hash_input, unsigned min_bits) {
  std::string_view reason;
  Entry* entry = find(algorithm, p_text, reason);
  if (entry == nullptr) return {KeyVerifyResult::Status::Rejected, reason};
  return verifyWithDecodedKey(entry->key, algorithm, signature, header_hash_input, min_bits);
}

}  // namespace quellsig
