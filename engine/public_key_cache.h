// PublicKeyCache: decoded RSA public keys of one thread, keyed by the exact
// p= text of the key record they came from.
//
// Decoding a 2048-bit SubjectPublicKeyInfo costs several RSA verifications,
// so a thread that verifies many messages from one sender keeps the decoded
// key. verify() gives exactly the result verifyWithKeyRecord would give for
// the same arguments; only successful decodes are kept, and the key-size
// floor is applied on every call. Ed25519 keys need no decoding and are
// passed straight through. At most `capacity` keys are held; the least
// recently used one is dropped first.
//
// Owned by the thread's KeyLookup and discarded with it (and its resolver).
// Not thread-safe: one thread only.
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
#include "engine/private_key.h"

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
    EvpPkeyPtr key;
    unsigned bits = 0;
    std::list<std::string>::iterator age;
  };

  std::size_t capacity_;
  std::list<std::string> by_age_;  // most recently used first
  std::unordered_map<std::string, Entry> entries_;
};

}  // namespace quellsig
