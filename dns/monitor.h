// NameserverMonitor: one background thread that probes every nameserver and
// keeps one healthy flag per server, so that lookups skip dead servers.
//
// Daemon use (after the configuration is loaded, before the workers start):
//
//   auto m = NameserverMonitor::create(nameservers);
//   if (!m)  -> warn "DNS health monitor init failed: <error>, falling back
//               to reactive" and give resolvers no monitor;
//   else if (auto s = (*m)->start(); !s)
//            -> warn "DNS health monitor thread failed: <error>" and still
//               give resolvers *m (every flag stays healthy);
//   ... at shutdown, after the workers are joined: (*m)->stop() or destroy.
//
// create() fails with InvalidServerCount (not 1..8 entries), InvalidNameserver
// (an entry not an IPv4/IPv6 literal) or OutOfMemory. start() fails with
// SystemResources, Unexpected or OutOfMemory. A probe is the fixed 17-byte NS
// query; any reply of 12 bytes or more is a success. A server goes down on
// its second consecutive failed probe and up after one good one.
//
// Threads: create/start/stop belong to the owner thread. healthy(),
// healthyCount() and the counters may be read from any thread without a
// lock; a stale value only changes which servers a lookup tries. The object
// must outlive every resolver that links to it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/inet_address.h"
#include "platform/thread.h"

namespace quellsig {

struct MonitorOptions {
  std::uint32_t interval_seconds = 5;
  std::uint32_t probe_timeout_ms = 2000;
  std::uint16_t port = 53;
};

class NameserverMonitor {
 public:
  static constexpr std::size_t kMaxServers = 8;

  static Result<std::unique_ptr<NameserverMonitor>> create(std::span<const std::string> nameservers,
                                                           MonitorOptions options = {});
  ~NameserverMonitor();
  NameserverMonitor(const NameserverMonitor&) = delete;
  NameserverMonitor& operator=(const NameserverMonitor&) = delete;

  Result<void> start();
  // Ends the thread (within about a second plus a probe in progress) and
  // joins it. Idempotent.
  void stop();
  bool started() const { return thread_.joinable(); }

  std::size_t serverCount() const { return servers_.size(); }
  // False for an index beyond the server list.
  bool healthy(std::size_t i) const;
  std::size_t healthyCount() const;
  std::uint8_t failures(std::size_t i) const;

  // One probe of every server in list order. The monitor thread runs this;
  // a test may call it directly on a monitor that was not started.
  void runProbePass();

 private:
  NameserverMonitor(std::vector<platform::SocketAddress> servers, MonitorOptions options);
  bool probe(const platform::SocketAddress& server) const;
  void run();

  std::vector<platform::SocketAddress> servers_;
  MonitorOptions options_;
  std::array<std::atomic<std::uint8_t>, kMaxServers> healthy_{};
  std::array<std::atomic<std::uint8_t>, kMaxServers> failures_{};
  std::atomic<bool> stop_{false};
  platform::Thread thread_;
};

}  // namespace quellsig
