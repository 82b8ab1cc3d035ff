// ResolverKeyLookup: the verifier's KeyLookup over one thread's DnsResolver.
//
// lookupKeyRecords returns the resolver's answer records (type and data) or
// its error; an allocation failure becomes OutOfMemory. keyRecordsFrom does
// the same over a resolver the caller keeps. makeToolKeyLookup
// builds one with the tools' fixed settings for one nameserver and port
// (InvalidNameserver when the address is not an IP literal). A thread that
// keeps a PublicKeyCache beside it discards both together. One thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "dns/resolver.h"
#include "engine/key_lookup.h"

namespace quellsig {

Result<std::vector<KeyAnswer>> keyRecordsFrom(DnsResolver& resolver, std::string_view name);

class ResolverKeyLookup final : public KeyLookup {
 public:
  explicit ResolverKeyLookup(std::unique_ptr<DnsResolver> resolver)
      : resolver_(std::move(resolver)) {}

  Result<std::vector<KeyAnswer>> lookupKeyRecords(std::string_view name) override;
  DnsResolver& resolver() { return *resolver_; }

 private:
  std::unique_ptr<DnsResolver> resolver_;
};

Result<std::unique_ptr<KeyLookup>> makeToolKeyLookup(std::string_view nameserver,
                                                     std::uint16_t port);

}  // namespace quellsig
