// DnsCache: the per-resolver answer cache, a bounded map from lookup name to
// the outcome of its last lookup (answer records, or a negative kind).
//
// Keys are the name with A-Z folded to a-z, then ":16"; nothing else is
// normalised. Entries live until their wall-clock expiry (seconds); an
// expired entry is a miss but stays until it is evicted or overwritten.
// When full, a store first evicts expired entries oldest-first, and if none
// expired, the oldest inserted entry; an overwrite keeps the entry's place.
// Lookups write the debug lines "dns: cache hit/negative hit/miss <name>"
// with the name as the caller spelled it. Stores fail only with OutOfMemory
// and then leave the cache as it was. Owned and used by one thread; no lock.
#pragma once

#include <cstdint>
#include <limits>
#include <list>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "dns/message.h"
#include "platform/error.h"

namespace quellsig {

enum class NegativeKind : std::uint8_t { NameError = 0, ServerFailure = 1, Timeout = 2 };

std::string_view negativeKindText(NegativeKind kind);
// The error a negative hit of this kind returns.
Error negativeKindError(NegativeKind kind);

struct DnsCacheEntry {
  std::vector<DnsAnswerRecord> records;  // empty for a negative entry
  std::int64_t expires = 0;              // live while now < expires
  NegativeKind kind = NegativeKind::NameError;
  bool negative = false;
};

struct DnsCacheLookup {
  enum class Outcome { Miss, Positive, Negative };
  Outcome outcome = Outcome::Miss;
  std::vector<DnsAnswerRecord> records;  // the caller's own copy on a positive hit
  NegativeKind kind = NegativeKind::NameError;
};

class DnsCache {
 public:
  static constexpr std::uint32_t kDefaultCapacity = 1000;
  static constexpr std::uint32_t kDefaultNegativeLifetime = 60;
  static constexpr std::uint32_t kMinPositiveLifetime = 30;
  static constexpr std::uint32_t kMaxPositiveLifetime = 86400;

  // 0 for either value selects its default.
  DnsCache(std::uint32_t capacity, std::uint32_t negative_lifetime);

  static Result<std::string> makeKey(std::string_view name);
  // The smallest TTL of the records bounded to 30..86400; records not empty.
  static std::uint32_t positiveLifetime(std::span<const DnsAnswerRecord> records);

  // name is only for the log line.
  DnsCacheLookup lookup(std::string_view key, std::string_view name, std::int64_t now);
  Result<void> storePositive(std::string key, std::span<const DnsAnswerRecord> records,
                             std::uint32_t lifetime, std::int64_t now);
  Result<void> storeNegative(std::string key, NegativeKind kind, std::int64_t now);

  std::size_t size() const { return map_.size(); }
  std::uint32_t capacity() const { return capacity_; }
  // Keys in first-insertion order, oldest first.
  std::vector<std::string> keysInOrder() const;

 private:
  struct Slot {
    DnsCacheEntry entry;
    std::list<std::string>::iterator key;
  };

  Result<void> store(std::string key, DnsCacheEntry entry, std::int64_t now);
  void makeRoom(std::int64_t now);
  void remove(std::list<std::string>::iterator key);

  std::uint32_t capacity_;
  std::uint32_t negative_lifetime_;
  // The map's keys view the strings owned by order_, so each key exists once.
  std::list<std::string> order_;
  std::unordered_map<std::string_view, Slot> map_;
  // No entry expires before this; it may lag behind removals, never ahead.
  std::int64_t earliest_expiry_ = std::numeric_limits<std::int64_t>::max();
};

}  // namespace quellsig
