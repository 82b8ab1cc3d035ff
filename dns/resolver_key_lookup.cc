#include "dns/resolver_key_lookup.h"

#include <new>

#include "dns/settings.h"

namespace quellsig {

Result<std::vector<KeyAnswer>> ResolverKeyLookup::lookupKeyRecords(std::string_view name) {
  return keyRecordsFrom(*resolver_, name);
}

Result<std::vector<KeyAnswer>> keyRecordsFrom(DnsResolver& resolver, std::string_view name) {
  try {
    Result<std::vector<DnsAnswerRecord>> records = resolver.lookupTxt(name);
    if (!records) return fail(records.error());
    std::vector<KeyAnswer> answers;
    answers.reserve(records->size());
    for (DnsAnswerRecord& r : *records) answers.push_back({r.type, std::move(r.data)});
    return answers;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<std::unique_ptr<KeyLookup>> makeToolKeyLookup(std::string_view nameserver,
                                                     std::uint16_t port) {
  Result<DnsSettings> settings = toolDnsSettings(nameserver, port);
  if (!settings) return fail(settings.error());
  Result<std::unique_ptr<DnsResolver>> resolver = DnsResolver::create(*settings);
  if (!resolver) return fail(resolver.error());
  return std::make_unique<ResolverKeyLookup>(std::move(*resolver));
}

}  // namespace quellsig
