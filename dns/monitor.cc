#include "dns/monitor.h"

#include <new>

#include "dns/message.h"
#include "platform/clock.h"
#include "platform/udp_socket.h"

namespace quellsig {

Result<std::unique_ptr<NameserverMonitor>> NameserverMonitor::create(
    std::span<const std::string> nameservers, MonitorOptions options) {
  if (nameservers.empty() || nameservers.size() > kMaxServers) {
    return fail(Error::InvalidServerCount);
  }
  try {
    std::vector<platform::SocketAddress> servers;
    for (const auto& text : nameservers) {
      auto addr = platform::parseIpLiteral(text, options.port);
      if (!addr) return fail(Error::InvalidNameserver);
      servers.push_back(*addr);
    }
    return std::unique_ptr<NameserverMonitor>(new NameserverMonitor(std::move(servers), options));
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

NameserverMonitor::NameserverMonitor(std::vector<platform::SocketAddress> servers,
                                     MonitorOptions options)
    : servers_(std::move(servers)), options_(options) {
  for (std::size_t i = 0; i < servers_.size(); ++i) healthy_[i].store(1);
}

NameserverMonitor::~NameserverMonitor() { stop(); }

Result<void> NameserverMonitor::start() {
  if (thread_.joinable()) return {};
  auto t = platform::Thread::start([this] { run(); });
  if (!t) return fail(t.error());
  thread_ = std::move(*t);
  return {};
}

void NameserverMonitor::stop() {
  stop_.store(true);
  thread_.join();
}

bool NameserverMonitor::healthy(std::size_t i) const {
  return i < servers_.size() && healthy_[i].load(std::memory_order_relaxed) != 0;
}

std::size_t NameserverMonitor::healthyCount() const {
  std::size_t n = 0;
  for (std::size_t i = 0; i < servers_.size(); ++i) n += healthy(i) ? 1 : 0;
  return n;
}

std::uint8_t NameserverMonitor::failures(std::size_t i) const {
  return i < servers_.size() ? failures_[i].load(std::memory_order_relaxed) : 0;
}

bool NameserverMonitor::probe(const platform::SocketAddress& server) const {
  auto sock = platform::UdpSocket::open(server);
  if (!sock) return false;
  if (!sock->setReceiveTimeout(options_.probe_timeout_ms)) return false;
  if (!sock->sendTo(kProbeQuery, server)) return false;
  std::uint8_t buf[512];
  platform::SocketAddress from;
  auto got = sock->receiveFrom(buf, from);
  return got && *got && **got >= kDnsHeaderSize;
}

void NameserverMonitor::runProbePass() {
  for (std::size_t i = 0; i < servers_.size(); ++i) {
    if (probe(servers_[i])) {
      failures_[i].store(0, std::memory_order_relaxed);
      healthy_[i].store(1, std::memory_order_relaxed);
      continue;
    }
    std::uint8_t before = failures_[i].load(std::memory_order_relaxed);
    if (before == 255) continue;
    failures_[i].store(static_cast<std::uint8_t>(before + 1), std::memory_order_relaxed);
    if (before != 0) healthy_[i].store(0, std::memory_order_relaxed);
  }
}

void NameserverMonitor::run() {
  for (;;) {
    runProbePass();
    if (stop_.load()) return;
    for (std::uint32_t s = 0; s < options_.interval_seconds; ++s) {
      if (stop_.load()) return;
      platform::sleepMillis(1000);
    }
    if (stop_.load()) return;
  }
}

}  // namespace quellsig
