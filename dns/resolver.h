// DnsResolver: the stub resolver of one thread. lookupTxt() asks the
// configured nameservers for the TXT records of a name over UDP (falling
// back to TCP when the reply is truncated), rotating between servers,
// skipping servers the monitor marks down, and caching answers and failures.
//
// Outcomes: the answer records of an RCODE 0 reply (any type, message order,
// possibly none; the caller's own copy), or DnsNameError, DnsServerFailure,
// DnsTimeout, DnsNoHealthyServers, IdMismatch, a codec error of the name or
// the reply, a socket error, or OutOfMemory. The resolver stays usable after
// any failure and closes every socket before a lookup returns.
//
// Query IDs come from the system CSPRNG, and a UDP datagram that does not
// come from the server asked is ignored (the wait for the real reply goes on
// within the same attempt).
//
// Ownership and threads: one resolver per thread, never shared, no lock. The
// monitor, when given, is borrowed and must outlive the resolver.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dns/cache.h"
#include "dns/message.h"
#include "dns/settings.h"
#include "platform/error.h"
#include "platform/inet_address.h"

namespace quellsig {

class NameserverMonitor;

class DnsResolver {
 public:
  // Fails with InvalidNameserver when an entry is not an IP literal, or
  // OutOfMemory. A null monitor means reactive mode (every server eligible).
  static Result<std::unique_ptr<DnsResolver>> create(const DnsSettings& settings,
                                                     const NameserverMonitor* monitor = nullptr);

  Result<std::vector<DnsAnswerRecord>> lookupTxt(std::string_view name);

  const DnsCache& cache() const { return cache_; }
  // Where the next lookup starts in the server list.
  std::size_t nextServer() const { return next_server_; }

 private:
  DnsResolver(const DnsSettings& settings, std::vector<platform::SocketAddress> addresses,
              const NameserverMonitor* monitor);
  Result<std::vector<DnsAnswerRecord>> lookup(std::string_view name);
  bool eligible(std::size_t server) const;
  // The UDP phase: the chosen reply's bytes, or a socket error or DnsTimeout.
  Result<std::vector<std::uint8_t>> queryOverUdp(std::span<const std::uint8_t> query);
  // Up to retries + 1 attempts at one server; std::nullopt when none gave a
  // whole datagram from that server.
  Result<std::optional<std::vector<std::uint8_t>>> askServer(const platform::SocketAddress& server,
                                                             std::span<const std::uint8_t> query);
  // The TCP phase: the complete reply, or the truncated one unchanged.
  DnsResponse retryOverTcp(std::string_view name, std::span<const std::uint8_t> query,
                           DnsResponse truncated);
  Result<std::vector<std::uint8_t>> exchangeOverTcp(const platform::SocketAddress& server,
                                                    std::span<const std::uint8_t> query);

  std::uint16_t nextQueryId();

  std::vector<std::string> texts_;
  std::vector<platform::SocketAddress> addresses_;
  std::uint32_t timeout_ms_;
  std::uint8_t retries_;
  DnsCache cache_;
  std::size_t next_server_ = 0;
  const NameserverMonitor* monitor_;
  // Query IDs drawn from the CSPRNG in batches, one system call per 64.
  std::array<std::uint16_t, 64> id_pool_{};
  std::size_t id_pool_used_ = 64;
};

}  // namespace quellsig
