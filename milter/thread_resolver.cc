#include "milter/thread_resolver.h"

#include <atomic>
#include <memory>
#include <new>

#include "dns/resolver_key_lookup.h"

namespace quellsig {
namespace {

std::atomic<const NameserverMonitor*> g_monitor{nullptr};
thread_local std::unique_ptr<DnsResolver> t_resolver;

class ThreadKeyLookup final : public KeyLookup {
 public:
  Result<std::vector<KeyAnswer>> lookupKeyRecords(std::string_view name) override {
    Result<DnsResolver*> resolver = threadResolver();
    if (!resolver) return fail(resolver.error());
    return keyRecordsFrom(**resolver, name);
  }
};

}  // namespace

DnsSettings dnsSettingsOf(const RuntimeSettings& s) {
  DnsSettings d;
  d.nameservers = s.nameservers;
  d.port = s.dns_port;
  d.timeout_ms = s.dns_timeout_ms;
  d.retries = s.dns_retries;
  d.cache_capacity = s.dns_cache_size;
  d.negative_ttl = s.dns_negative_ttl;
  return d;
}

void setResolverMonitor(const NameserverMonitor* monitor) {
  g_monitor.store(monitor, std::memory_order_release);
}

Result<DnsResolver*> threadResolver() {
  if (!t_resolver) {
    try {
      auto created = DnsResolver::create(dnsSettingsOf(runtimeSettings()),
                                         g_monitor.load(std::memory_order_acquire));
      if (!created) return fail(created.error());
      t_resolver = std::move(*created);
    } catch (const std::bad_alloc&) {
      return fail(Error::OutOfMemory);
    }
  }
  return t_resolver.get();
}

void discardThreadResolver() { t_resolver.reset(); }

KeyLookup& threadKeyLookup() {
  thread_local ThreadKeyLookup lookup;
  return lookup;
}

PublicKeyCache& threadPublicKeyCache() {
  thread_local PublicKeyCache cache;
  return cache;
}

}  // namespace quellsig
