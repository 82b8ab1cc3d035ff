// Resolver throughput, each figure beside its baseline from the same run:
//   1. cached lookups of a 410-byte key record (the copy included), against
//      the goal of 1,000,000 lookups per second on one core;
//   2. uncached lookups against a local nsd over UDP (distinct names under a
//      wildcard TXT record), against a bare loop sending the same kind of
//      queries over one UDP socket; goal: a ratio of at least 0.8.
#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "dns/message.h"
#include "dns/resolver.h"
#include "platform/clock.h"
#include "platform/udp_socket.h"
#include "tests/support/nsd_server.h"

namespace {

using namespace quellsig;

std::uint64_t nowNanos() { return platform::wallClockNanos(); }

struct Latencies {
  double rate = 0;
  double median_us = 0;
  double p99_us = 0;
};

Latencies summarise(std::vector<std::uint64_t> ns, std::uint64_t total_ns) {
  std::sort(ns.begin(), ns.end());
  Latencies l;
  l.rate = double(ns.size()) * 1e9 / double(total_ns);
  l.median_us = double(ns[ns.size() / 2]) / 1000.0;
  l.p99_us = double(ns[ns.size() * 99 / 100]) / 1000.0;
  return l;
}

// Built by appending: GCC 12 warns falsely (-Wrestrict) on operator+ chains.
std::string join(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (auto p : parts) out.append(p);
  return out;
}

}  // namespace

int main() {
  const std::string key_record = join({"v=DKIM1; k=rsa; p=", std::string(410 - 18, 'A')});
  const std::string_view rec(key_record);
  std::string zone =
      join({"$TTL 300\n"
            "@ IN SOA ns.bench.test. host.bench.test. 1 3600 600 86400 300\n"
            "@ IN NS ns.bench.test.\n"
            "ns IN A 127.0.0.54\n"
            "key._domainkey IN TXT \"",
            rec.substr(0, 255), "\" \"", rec.substr(255),
            "\"\n"
            "*.wild IN TXT \"v=DKIM1; p=short\"\n"});
  testing::NsdOptions o;
  o.address = "127.0.0.54";
  o.zones.push_back({"bench.test", zone});
  std::string error;
  auto nsd = testing::NsdServer::start(o, &error);
  if (!nsd) {
    std::fprintf(stderr, "dns_bench: cannot start nsd: %s\n", error.c_str());
    return 2;
  }
  DnsSettings settings;
  settings.nameservers = {nsd->address()};
  settings.port = nsd->port();
  settings.cache_capacity = 100000;

  // 1. Cached lookups.
  {
    auto r = std::move(*DnsResolver::create(settings));
    auto first = r->lookupTxt("key._domainkey.bench.test");
    if (!first || first->empty() || (*first)[0].data.size() != 410) {
      std::fprintf(stderr, "dns_bench: key record not served as expected\n");
      return 2;
    }
    const int n = 2'000'000;
    std::size_t bytes = 0;
    const std::uint64_t t0 = nowNanos();
    for (int i = 0; i < n; ++i)
      bytes += (*r->lookupTxt("key._domainkey.bench.test"))[0].data.size();
    const double rate = double(n) * 1e9 / double(nowNanos() - t0);
    std::printf("cached lookup (410-byte record): %.0f lookups/s, %.2fx the 1,000,000/s goal%s\n",
                rate, rate / 1e6, bytes == std::size_t(n) * 410 ? "" : " (bad copies)");
  }

  // 2. Uncached lookups against nsd vs a bare UDP loop.
  const int n = 5000;
  auto server = *platform::parseIpLiteral(nsd->address(), nsd->port());
  Latencies bare, resolver;
  {
    auto sock = std::move(*platform::UdpSocket::open(server));
    (void)sock.setReceiveTimeout(2000);
    std::vector<std::uint64_t> lat;
    std::uint8_t buf[4096];
    const std::uint64_t t0 = nowNanos();
    for (int i = 0; i < n; ++i) {
      const std::uint64_t s = nowNanos();
      auto q = *encodeQuery(join({"b", std::to_string(i), ".wild.bench.test"}), std::uint16_t(i));
      (void)sock.sendTo(q, server);
      platform::SocketAddress from;
      auto got = sock.receiveFrom(buf, from);
      if (!got || !*got) std::fprintf(stderr, "dns_bench: bare query %d lost\n", i);
      lat.push_back(nowNanos() - s);
    }
    bare = summarise(std::move(lat), nowNanos() - t0);
  }
  {
    auto r = std::move(*DnsResolver::create(settings));
    std::vector<std::uint64_t> lat;
    const std::uint64_t t0 = nowNanos();
    for (int i = 0; i < n; ++i) {
      const std::uint64_t s = nowNanos();
      auto got = r->lookupTxt(join({"r", std::to_string(i), ".wild.bench.test"}));
      if (!got || got->empty()) std::fprintf(stderr, "dns_bench: lookup %d failed\n", i);
      lat.push_back(nowNanos() - s);
    }
    resolver = summarise(std::move(lat), nowNanos() - t0);
  }
  std::printf("uncached, bare UDP loop (baseline): %.0f q/s, median %.1f us, p99 %.1f us\n",
              bare.rate, bare.median_us, bare.p99_us);
  std::printf("uncached, resolver lookupTxt:       %.0f q/s, median %.1f us, p99 %.1f us\n",
              resolver.rate, resolver.median_us, resolver.p99_us);
  std::printf("uncached ratio resolver/baseline: %.2f (goal >= 0.80)\n", resolver.rate / bare.rate);
  return 0;
}
