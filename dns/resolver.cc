#include "dns/resolver.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <new>
#include <optional>

#include "dns/monitor.h"
#include "log/log.h"
#include "platform/byte_cursor.h"
#include "platform/byte_writer.h"
#include "platform/clock.h"
#include "platform/random.h"
#include "platform/tcp_stream.h"
#include "platform/udp_socket.h"

namespace quellsig {
namespace {

constexpr std::size_t kUdpBufferSize = 4096;

std::string_view rcodeName(std::uint8_t rcode, std::string& scratch) {
  switch (rcode) {
    case 1:
      return "format_error";
    case 2:
      return "server_failure";
    case 3:
      return "name_error";
    case 4:
      return "not_implemented";
    case 5:
      return "refused";
    default:
      scratch = "rcode" + std::to_string(rcode);
      return scratch;
  }
}

std::int64_t nowSeconds() { return static_cast<std::int64_t>(platform::wallClockSeconds()); }

}  // namespace

Result<std::unique_ptr<DnsResolver>> DnsResolver::create(const DnsSettings& settings,
                                                         const NameserverMonitor* monitor) {
  try {
    std::vector<platform::SocketAddress> addresses;
    addresses.reserve(settings.nameservers.size());
    for (const auto& text : settings.nameservers) {
      auto addr = platform::parseIpLiteral(text, settings.port);
      if (!addr) return fail(Error::InvalidNameserver);
      addresses.push_back(*addr);
    }
    return std::unique_ptr<DnsResolver>(new DnsResolver(settings, std::move(addresses), monitor));
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

DnsResolver::DnsResolver(const DnsSettings& settings,
                         std::vector<platform::SocketAddress> addresses,
                         const NameserverMonitor* monitor)
    : texts_(settings.nameservers),
      addresses_(std::move(addresses)),
      // A zero socket timeout would mean "wait forever" and hang the thread.
      timeout_ms_(settings.timeout_ms == 0 ? kMinTimeoutMs : settings.timeout_ms),
      retries_(settings.retries),
      cache_(settings.cache_capacity, settings.negative_ttl),
      monitor_(monitor) {}

std::uint16_t DnsResolver::nextQueryId() {
  if (id_pool_used_ == id_pool_.size()) {
    platform::secureRandomBytes(
        std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(id_pool_.data()), sizeof id_pool_));
    id_pool_used_ = 0;
  }
  return id_pool_[id_pool_used_++];
}

bool DnsResolver::eligible(std::size_t server) const {
  return monitor_ == nullptr || monitor_->healthy(server);
}

Result<std::vector<DnsAnswerRecord>> DnsResolver::lookupTxt(std::string_view name) {
  try {
    return lookup(name);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<std::vector<DnsAnswerRecord>> DnsResolver::lookup(std::string_view name) {
  auto key = DnsCache::makeKey(name);
  if (!key) return fail(key.error());
  auto cached = cache_.lookup(*key, name, nowSeconds());
  if (cached.outcome == DnsCacheLookup::Outcome::Positive) return std::move(cached.records);
  if (cached.outcome == DnsCacheLookup::Outcome::Negative) {
    return fail(negativeKindError(cached.kind));
  }

  const std::uint16_t id = nextQueryId();
  auto query = encodeQuery(name, id);
  if (!query) return fail(query.error());

  const std::uint64_t start = platform::monotonicNanos();
  if (monitor_ != nullptr && monitor_->healthyCount() == 0) {
    emit(Severity::Warning, "dns: ", Printable{name},
         " not queried, all nameservers marked down (monitor)");
    return fail(Error::DnsNoHealthyServers);
  }

  auto chosen = queryOverUdp(*query);
  if (!chosen) {
    const Error e = chosen.error();
    emit(Severity::Warning, "dns: query ", Printable{name}, " failed err=", ErrorText{e},
         " elapsed=", (platform::monotonicNanos() - start) / 1'000'000u, "ms");
    if (e == Error::DnsTimeout) {
      (void)cache_.storeNegative(std::move(*key), NegativeKind::Timeout, nowSeconds());
    }
    return fail(e);
  }
  auto reply = parseResponse(*chosen);
  if (!reply) return fail(reply.error());
  if (reply->id != id) return fail(Error::IdMismatch);
  if (reply->truncated) *reply = retryOverTcp(name, *query, std::move(*reply));

  switch (reply->rcode) {
    case 0:
      if (!reply->records.empty()) {
        // A reply that cannot be cached is still a good answer.
        (void)cache_.storePositive(std::move(*key), reply->records,
                                   DnsCache::positiveLifetime(reply->records), nowSeconds());
      }
      return std::move(reply->records);
    case 3:
      (void)cache_.storeNegative(std::move(*key), NegativeKind::NameError, nowSeconds());
      return fail(Error::DnsNameError);
    default: {
      std::string scratch;
      emit(Severity::Warning, "dns: ", Printable{name},
           " refused, rcode=", rcodeName(reply->rcode, scratch), " from all nameservers");
      (void)cache_.storeNegative(std::move(*key), NegativeKind::ServerFailure, nowSeconds());
      return fail(Error::DnsServerFailure);
    }
  }
}

Result<std::optional<std::vector<std::uint8_t>>> DnsResolver::askServer(
    const platform::SocketAddress& server, std::span<const std::uint8_t> query) {
  using Outcome = std::optional<std::vector<std::uint8_t>>;
  auto sock = platform::UdpSocket::open(server);
  if (!sock) return fail(sock.error());
  if (auto r = sock->setReceiveTimeout(timeout_ms_); !r) return fail(r.error());

  std::uint8_t buf[kUdpBufferSize];
  for (unsigned attempt = 0; attempt <= retries_; ++attempt) {
    if (!sock->sendTo(query, server)) continue;
    const std::uint64_t deadline = platform::monotonicMillis() + timeout_ms_;
    bool shortened = false;
    for (;;) {
      platform::SocketAddress from;
      auto got = sock->receiveFrom(buf, from);
      if (!got || !*got) break;
      if (!platform::sameEndpoint(from, server)) {
        // Someone else's datagram: keep waiting for the server, but only for
        // what is left of this attempt.
        const std::uint64_t now = platform::monotonicMillis();
        if (now >= deadline) break;
        if (!sock->setReceiveTimeout(static_cast<std::uint32_t>(deadline - now))) break;
        shortened = true;
        continue;
      }
      if (**got < kDnsHeaderSize) break;
      return Outcome(std::vector<std::uint8_t>(buf, buf + **got));
    }
    if (shortened) {
      if (auto r = sock->setReceiveTimeout(timeout_ms_); !r) return fail(r.error());
    }
  }
  return Outcome();
}

Result<std::vector<std::uint8_t>> DnsResolver::queryOverUdp(std::span<const std::uint8_t> query) {
  const std::size_t n = addresses_.size();
  std::optional<std::vector<std::uint8_t>> fallback;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t s = (next_server_ + i) % n;
    if (!eligible(s)) continue;
    auto got = askServer(addresses_[s], query);
    if (!got) return fail(got.error());
    if (!*got) continue;
    const std::uint8_t rcode = replyRcode(**got);
    if (rcode == 2 || rcode == 5) {
      emit(Severity::Debug, "dns: ", texts_[s], " returned rcode=", unsigned{rcode},
           ", trying next server");
      fallback = std::move(*got);
      continue;
    }
    next_server_ = (s + 1 == n) ? 0 : s + 1;
    return std::move(**got);
  }
  if (fallback) return std::move(*fallback);
  return fail(Error::DnsTimeout);
}

Result<std::vector<std::uint8_t>> DnsResolver::exchangeOverTcp(
    const platform::SocketAddress& server, std::span<const std::uint8_t> query) {
  auto conn = platform::TcpStream::open(server);
  if (!conn) return fail(conn.error());
  if (auto r = conn->setTimeouts(timeout_ms_); !r) return fail(r.error());
  // Whole seconds, at least one, as a connection-establishment limit.
  // Computed in 64 bits: near the 32-bit limit the rounding would wrap to 0 s.
  const std::uint64_t whole_seconds = (std::uint64_t{timeout_ms_} + 999) / 1000;
  const auto connect_ms =
      static_cast<std::uint32_t>(std::min<std::uint64_t>(whole_seconds * 1000, UINT32_MAX));
  if (auto r = conn->connect(server, connect_ms); !r) return fail(r.error());

  // Over TCP each message goes behind a two-byte length.
  std::vector<std::uint8_t> framed;
  ByteWriter w(framed);
  ByteWriter::Prefix prefix;
  w.reserve(query.size() + 2);
  w.beginU16Prefix(prefix);
  w.writeBytes(query);
  w.endPrefix(prefix);
  if (auto r = w.status(); !r) return fail(r.error());
  if (auto r = conn->writeAll(framed); !r) return fail(r.error());

  std::array<std::uint8_t, 2> length_bytes;
  if (auto r = conn->readExact(length_bytes); !r) return fail(r.error());
  std::uint16_t length = 0;
  ByteCursor(length_bytes).readU16(length);
  if (length < kDnsHeaderSize) return fail(Error::PacketTooShort);
  std::vector<std::uint8_t> message(length);
  if (auto r = conn->readExact(message); !r) return fail(r.error());
  return message;
}

DnsResponse DnsResolver::retryOverTcp(std::string_view name, std::span<const std::uint8_t> query,
                                      DnsResponse truncated) {
  emit(Severity::Debug, "dns: ", Printable{name}, " truncated over udp, retrying over tcp");
  const std::uint16_t id = truncated.id;
  const std::size_t n = addresses_.size();
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t s = (next_server_ + i) % n;
    if (!eligible(s)) continue;
    auto message = exchangeOverTcp(addresses_[s], query);
    if (!message) continue;
    auto complete = parseResponse(*message);
    if (!complete) {
      emit(Severity::Debug, "dns: tcp reply for ", Printable{name},
           " unparseable err=", ErrorText{complete.error()});
      return truncated;
    }
    if (complete->id != id) return truncated;
    return std::move(*complete);
  }
  emit(Severity::Debug, "dns: tcp retry for ", Printable{name},
       " failed err=", ErrorText{Error::DnsTimeout});
  return truncated;
}

}  // namespace quellsig
