// Resolver throughput, each figure beside its baseline from the same run:
//   1. cached lookups of a 410-byte key record (the copy included), against
//      the goal of 1,000,000 lookups per second on one core;
//   2. uncached lookups against a local nsd over UDP (distinct names under a
//      wildcard TXT record), against a bare loop sending the same queries
//      over one UDP socket; goal: a ratio of at least 0.8. A second bare loop
//      opens a socket per query as the resolver must, which shows what that
//      rule alone costs.
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

  // 2. Uncached lookups against nsd vs a bare UDP loop. The three loops take
  // turns in every round, in a rotating order, so that drift in the load of a
  // shared machine falls on all of them alike; within a round they send the
  // same names (so the same query bytes but for the ID) and each waits for
  // its reply with a blocking receive under a receive timeout. The resolver
  // keeps the daemon's default cache size, so once the cache is full every
  // store evicts, as it does in a busy daemon.
  const int rounds = 6;
  const int per_round = 2000;
  auto server = *platform::parseIpLiteral(nsd->address(), nsd->port());
  auto name = [](int round, int i) {
    return join({"q", std::to_string(round), "-", std::to_string(i), ".wild.bench.test"});
  };
  // One lookup by a bare loop: the query, one datagram out, its reply back
  // with the same ID.
  auto exchange = [&](platform::UdpSocket& sock, std::string_view qname, std::uint16_t id) {
    auto q = *encodeQuery(qname, id);
    std::uint8_t buf[4096];
    (void)sock.sendTo(q, server);
    platform::SocketAddress from;
    auto got = sock.receiveFrom(buf, from);
    return got && *got && **got >= kDnsHeaderSize && buf[0] == (id >> 8) && buf[1] == (id & 0xff);
  };
  auto shared = std::move(*platform::UdpSocket::open(server));
  (void)shared.setReceiveTimeout(settings.timeout_ms);
  DnsSettings uncached_settings = settings;
  uncached_settings.cache_capacity = DnsSettings{}.cache_capacity;
  auto resolver = std::move(*DnsResolver::create(uncached_settings));

  enum Loop { kBare, kFresh, kResolver, kLoops };
  const char* const labels[kLoops] = {"bare UDP loop, one socket (baseline)",
                                      "bare UDP loop, a socket per query", "resolver lookupTxt"};
  std::vector<std::uint64_t> lat[kLoops];
  std::uint64_t total[kLoops] = {};
  double worst_ratio = 1e9, best_ratio = 0;
  int failures = 0;
  for (int round = 0; round < rounds; ++round) {
    std::uint64_t round_ns[kLoops] = {};
    for (int k = 0; k < kLoops; ++k) {
      const int loop = (round + k) % kLoops;
      const std::uint64_t t0 = nowNanos();
      for (int i = 0; i < per_round; ++i) {
        const std::uint64_t s = nowNanos();
        const std::string qname = name(round, i);
        bool ok;
        if (loop == kBare) {
          ok = exchange(shared, qname, std::uint16_t(i));
        } else if (loop == kFresh) {
          auto sock = std::move(*platform::UdpSocket::open(server));
          ok = sock.setReceiveTimeout(settings.timeout_ms) &&
               exchange(sock, qname, std::uint16_t(i));
        } else {
          auto got = resolver->lookupTxt(qname);
          ok = got && !got->empty();
        }
        if (!ok) ++failures;
        lat[loop].push_back(nowNanos() - s);
      }
      round_ns[loop] = nowNanos() - t0;
      total[loop] += round_ns[loop];
    }
    const double ratio = double(round_ns[kBare]) / double(round_ns[kResolver]);
    worst_ratio = std::min(worst_ratio, ratio);
    best_ratio = std::max(best_ratio, ratio);
  }
  Latencies result[kLoops];
  for (int k = 0; k < kLoops; ++k) {
    result[k] = summarise(std::move(lat[k]), total[k]);
    std::printf("uncached, %-38s %6.0f q/s, median %5.1f us, p99 %6.1f us, %.2fx baseline\n",
                labels[k], result[k].rate, result[k].median_us, result[k].p99_us,
                result[k].rate / result[kBare].rate);
  }
  std::printf("uncached ratio resolver/baseline: %.2f (rounds %.2f..%.2f, goal >= 0.80)%s\n",
              result[kResolver].rate / result[kBare].rate, worst_ratio, best_ratio,
              failures == 0 ? "" : " (some queries failed)");
  if (failures != 0) std::fprintf(stderr, "dns_bench: %d uncached queries failed\n", failures);
  return 0;
}
