#include "dns/cache.h"

#include <algorithm>
#include <limits>
#include <new>

#include "log/log.h"

namespace quellsig {

std::string_view negativeKindText(NegativeKind kind) {
  switch (kind) {
    case NegativeKind::NameError:
      return "name_error";
    case NegativeKind::ServerFailure:
      return "server_failure";
    case NegativeKind::Timeout:
      return "timeout";
  }
  return "name_error";
}

Error negativeKindError(NegativeKind kind) {
  switch (kind) {
    case NegativeKind::NameError:
      return Error::DnsNameError;
    case NegativeKind::ServerFailure:
      return Error::DnsServerFailure;
    case NegativeKind::Timeout:
      return Error::DnsTimeout;
  }
  return Error::DnsNameError;
}

DnsCache::DnsCache(std::uint32_t capacity, std::uint32_t negative_lifetime)
    : capacity_(capacity == 0 ? kDefaultCapacity : capacity),
      negative_lifetime_(negative_lifetime == 0 ? kDefaultNegativeLifetime : negative_lifetime) {}

Result<std::string> DnsCache::makeKey(std::string_view name) {
  try {
    std::string key;
    key.reserve(name.size() + 3);
    for (char c : name) key.push_back((c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c);
    key.append(":16");
    return key;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

std::uint32_t DnsCache::positiveLifetime(std::span<const DnsAnswerRecord> records) {
  std::uint32_t ttl = UINT32_MAX;
  for (const auto& r : records) ttl = std::min(ttl, r.ttl);
  return std::clamp(ttl, kMinPositiveLifetime, kMaxPositiveLifetime);
}

DnsCacheLookup DnsCache::lookup(std::string_view key, std::string_view name, std::int64_t now) {
  DnsCacheLookup out;
  auto it = map_.find(key);
  if (it == map_.end() || it->second.entry.expires <= now) {
    emit(Severity::Debug, "dns: cache miss ", Printable{name});
    return out;
  }
  const DnsCacheEntry& e = it->second.entry;
  if (e.negative) {
    emit(Severity::Debug, "dns: cache negative hit ", Printable{name},
         " kind=", negativeKindText(e.kind));
    out.outcome = DnsCacheLookup::Outcome::Negative;
    out.kind = e.kind;
    return out;
  }
  emit(Severity::Debug, "dns: cache hit ", Printable{name});
  out.records = e.records;  // a bad_alloc here is caught at the resolver's border
  out.outcome = DnsCacheLookup::Outcome::Positive;
  return out;
}

Result<void> DnsCache::storePositive(std::string key, std::span<const DnsAnswerRecord> records,
                                     std::uint32_t lifetime, std::int64_t now) {
  DnsCacheEntry e;
  try {
    e.records.assign(records.begin(), records.end());
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  e.expires = now + lifetime;
  return store(std::move(key), std::move(e), now);
}

Result<void> DnsCache::storeNegative(std::string key, NegativeKind kind, std::int64_t now) {
  DnsCacheEntry e;
  e.expires = now + negative_lifetime_;
  e.kind = kind;
  e.negative = true;
  return store(std::move(key), std::move(e), now);
}

Result<void> DnsCache::store(std::string key, DnsCacheEntry entry, std::int64_t now) {
  makeRoom(now);
  const std::int64_t expires = entry.expires;
  if (auto it = map_.find(key); it != map_.end()) {
    it->second.entry = std::move(entry);
    earliest_expiry_ = std::min(earliest_expiry_, expires);
    return {};
  }
  try {
    order_.push_back(std::move(key));
    auto pos = std::prev(order_.end());
    try {
      map_.emplace(std::string_view(*pos), Slot{std::move(entry), pos});
    } catch (const std::bad_alloc&) {
      order_.erase(pos);
      throw;
    }
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  earliest_expiry_ = std::min(earliest_expiry_, expires);
  return {};
}

void DnsCache::makeRoom(std::int64_t now) {
  if (map_.size() < capacity_) return;
  // Before the earliest expiry nothing can have expired, and walking the
  // whole cache on every store of a full one would cost more than the lookup.
  if (now >= earliest_expiry_) {
    std::int64_t earliest = std::numeric_limits<std::int64_t>::max();
    for (auto it = order_.begin(); it != order_.end();) {
      auto next = std::next(it);
      const std::int64_t expires = map_.find(*it)->second.entry.expires;
      if (expires <= now) {
        remove(it);
        if (map_.size() < capacity_) return;
      } else {
        earliest = std::min(earliest, expires);
      }
      it = next;
    }
    earliest_expiry_ = earliest;
  }
  if (!order_.empty()) remove(order_.begin());
}

void DnsCache::remove(std::list<std::string>::iterator key) {
  map_.erase(std::string_view(*key));
  order_.erase(key);
}

std::vector<std::string> DnsCache::keysInOrder() const {
  return std::vector<std::string>(order_.begin(), order_.end());
}

}  // namespace quellsig
