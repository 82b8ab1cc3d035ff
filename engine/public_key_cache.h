// PublicKeyCache: decoded public keys of one thread, keyed by the algorithm
// and the exact p= text of the key record they came from.
//
// Decoding a 2048-bit SubjectPublicKeyInfo costs several RSA verifications,
// and the point checks of an Ed25519 public key cost more than the
// verification itself, so a thread that verifies many messages from one
// sender keeps the decoded key. verify() gives exactly the result
// verifyWithKeyRecord would give for the same arguments; the RSA size floor
// is applied on every call. Keys whose p= does not decode are not kept. At
// most `capacity` keys are held; the least recently used one is dropped first.
//
// Owned by the thread that verifies, beside its resolver, and discarded with
// it. Not thread-safe: one thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

#include "engine/algorithms.h"
#include "engine/key_verify.h"

namespace quellsig {

class PublicKeyCache {
 public:
  static constexpr std::size_t kDefaultCapacity = 64;

  explicit PublicKeyCache(std::size_t capacity = kDefaultCapacity);
  PublicKeyCache(const PublicKeyCache&) = delete;
  PublicKeyCache& operator=(const PublicKeyCache&) = delete;

  KeyVerifyResult verify(SignatureAlgorithm algorithm, std::string_view p_text,
                         std::span<const std::uint8_t> signature,
                         std::string_view header_hash_input, unsigned min_bits);

  std::size_t size() const { return entries_.size(); }

 private:
  struct Entry {
    DecodedPublicKey key;
    std::list<std::string>::iterator age;
  };

  // The entry for the key, decoding it on a miss; null with `reason` set
  // when the p= text does not yield a key.
  Entry* find(SignatureAlgorithm algorithm, std::string_view p_text, std::string_view& reason);

  std::size_t capacity_;
  std::list<std::string> by_age_;  // most recently used first
  std::unordered_map<std::string, Entry> entries_;
};

}  // namespace quellsig
