// The DNS resolver of the calling worker thread, with its answer cache.
//
// threadResolver() creates the resolver on first use, from the start-up DNS
// settings (runtimeSettings()) and the nameserver monitor given to
// setResolverMonitor, and returns the same one to every later call on that
// thread; creation fails as DnsResolver::create does, and is tried again on
// the next call. discardThreadResolver() destroys it with everything it has
// cached, so that the next lookup starts afresh (a configuration reload does
// this on every worker).
//
// threadKeyLookup() is the verifier's KeyLookup over the calling thread's
// resolver (a resolver that cannot be created fails the lookup with its
// error), and threadPublicKeyCache() the thread's decoded public keys; both
// live until the thread ends. The key cache survives a reload: it is keyed
// by the exact p= text, so a changed record never hits a stale entry.
//
// Threads: setResolverMonitor is called by the main thread before the workers
// start (null: reactive mode), and the monitor must outlive them. The other
// two act on the calling thread's own resolver only; a thread's resolver is
// destroyed at the latest when the thread ends.
#pragma once

#include "config/runtime_settings.h"
#include "dns/resolver.h"
#include "dns/settings.h"
#include "engine/key_lookup.h"
#include "engine/public_key_cache.h"
#include "platform/error.h"

namespace quellsig {

DnsSettings dnsSettingsOf(const RuntimeSettings& settings);

void setResolverMonitor(const NameserverMonitor* monitor);
Result<DnsResolver*> threadResolver();
void discardThreadResolver();

KeyLookup& threadKeyLookup();
PublicKeyCache& threadPublicKeyCache();

}  // namespace quellsig
