// DnsSettings: what a DnsResolver is built from. The daemon fills one from
// its configuration at start-up (DnsNameserver, DnsTimeout × 1000,
// DnsRetries, DnsCacheSize, DnsNegativeTTL; port 53); the check and key test
// tools take toolDnsSettings() with their -n and -p values.
//
// Nameserver entries must be IPv4 or IPv6 literals. firstInvalidNameserver()
// names the first one that is not, for the daemon's fatal start-up message;
// toolDnsSettings() fails with InvalidNameserver, which the tools report as
// kInvalidNameserverMessage with exit status 2. Plain values; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"

namespace quellsig {

struct DnsSettings {
  std::vector<std::string> nameservers{"127.0.0.1"};  // configuration order
  std::uint16_t port = 53;
  std::uint32_t timeout_ms = 5000;  // 0 is raised to kMinTimeoutMs by the resolver
  std::uint8_t retries = 2;
  std::uint32_t cache_capacity = 1000;  // 0 means 1000
  std::uint32_t negative_ttl = 60;      // seconds; 0 means 60
};

inline constexpr std::uint32_t kMinTimeoutMs = 1000;
inline constexpr std::string_view kInvalidNameserverMessage =
    "DNS resolver: invalid nameserver address";

// The tools' fixed settings with one nameserver and its port.
Result<DnsSettings> toolDnsSettings(std::string_view nameserver, std::uint16_t port);

std::optional<std::string_view> firstInvalidNameserver(const std::vector<std::string>& servers);

}  // namespace quellsig
