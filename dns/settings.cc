#include "dns/settings.h"

#include <new>

#include "platform/inet_address.h"

namespace quellsig {

Result<DnsSettings> toolDnsSettings(std::string_view nameserver, std::uint16_t port) {
  if (!platform::parseIpLiteral(nameserver, port)) return fail(Error::InvalidNameserver);
  try {
    DnsSettings s;
    s.nameservers = {std::string(nameserver)};
    s.port = port;
    return s;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

std::optional<std::string_view> firstInvalidNameserver(const std::vector<std::string>& servers) {
  for (const auto& s : servers) {
    if (!platform::parseIpLiteral(s, 53)) return std::string_view(s);
  }
  return std::nullopt;
}

}  // namespace quellsig
