#include "daemon/dns_startup.h"

#include "log/log.h"
#include "dns/settings.h"

namespace quellsig {

Result<void> checkNameservers(const std::vector<std::string>& nameservers) {
  if (auto bad = firstInvalidNameserver(nameservers)) {
    emit(Severity::Err, "invalid DnsNameserver entry ", Printable{*bad},
         ": not an IPv4 or IPv6 address");
    return fail(Error::InvalidNameserver);
  }
  return {};
}

std::unique_ptr<NameserverMonitor> startNameserverMonitor(
    const std::vector<std::string>& nameservers) {
  auto monitor = NameserverMonitor::create(nameservers);
  if (!monitor) {
    emit(Severity::Warning, "DNS health monitor init failed: ", ErrorText{monitor.error()},
         ", falling back to reactive");
    return nullptr;
  }
  if (auto started = (*monitor)->start(); !started) {
    emit(Severity::Warning, "DNS health monitor thread failed: ", ErrorText{started.error()});
  }
  return std::move(*monitor);
}

}  // namespace quellsig
