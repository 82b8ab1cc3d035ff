#include "dns/monitor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "dns/resolver.h"
#include "platform/clock.h"
#include "tests/dns/fake_servers.h"
#include "tests/support/log_capture.h"

namespace quellsig {
namespace {

using testing::FakeDatagram;
using testing::FakeQuery;

TEST(MonitorTest, SetUpErrors) {
  std::vector<std::string> nine(9, "127.0.0.1");
  struct Case {
    const char* name;
    std::vector<std::string> servers;
    Error error;
  } cases[] = {
      {"empty list", {}, Error::InvalidServerCount},
      {"nine servers", nine, Error::InvalidServerCount},
      {"host name", {"127.0.0.1", "ns.example"}, Error::InvalidNameserver},
  };
  for (const auto& tc : cases) {
    auto m = NameserverMonitor::create(tc.servers);
    ASSERT_FALSE(m) << tc.name;
    EXPECT_EQ(m.error(), tc.error) << tc.name;
  }
  auto eight = NameserverMonitor::create(std::vector<std::string>(8, "::1"));
  ASSERT_TRUE(eight);
  EXPECT_EQ((*eight)->healthyCount(), 8u);
  EXPECT_FALSE((*eight)->healthy(8));
}

TEST(MonitorTest, DownOnSecondFailedProbeUpAfterOneGood) {
  std::atomic<int> mode{0};  // 0 drop, 1 refuse, 2 answer
  auto handler = [&](const FakeQuery& q) {
    if (mode.load() == 0) return std::vector<FakeDatagram>{};
    if (mode.load() == 1) return std::vector<FakeDatagram>{{testing::buildReply(q, 5, {})}};
    return std::vector<FakeDatagram>{testing::txtAnswer(q, "up")};
  };
  auto servers = testing::ServerPair::start(handler, handler);
  ASSERT_TRUE(servers.ok());
  auto settings = servers.settings();
  auto m = NameserverMonitor::create(settings.nameservers, MonitorOptions{5, 100, settings.port});
  ASSERT_TRUE(m);
  NameserverMonitor& mon = **m;

  mon.runProbePass();
  EXPECT_EQ(mon.healthyCount(), 2u) << "one lost probe never marks a server down";
  EXPECT_EQ(mon.failures(0), 1);
  mon.runProbePass();
  EXPECT_EQ(mon.healthyCount(), 0u);
  EXPECT_EQ(mon.failures(1), 2);

  // Every server down: the lookup sends nothing and caches nothing.
  testing::LogCapture log;
  auto r = DnsResolver::create(settings, &mon);
  ASSERT_TRUE(r);
  const int before = servers.first->udpQueries() + servers.second->udpQueries();
  EXPECT_EQ((*r)->lookupTxt("k.example").error(), Error::DnsNoHealthyServers);
  EXPECT_EQ(servers.first->udpQueries() + servers.second->udpQueries(), before);
  EXPECT_EQ((*r)->cache().size(), 0u);
  EXPECT_EQ(log.count("dns: k.example not queried, all nameservers marked down (monitor)"), 1);

  mode = 1;  // REFUSED still proves the server alive
  mon.runProbePass();
  EXPECT_EQ(mon.healthyCount(), 2u);
  EXPECT_EQ(mon.failures(0), 0);

  // With only the second server up, lookups skip the first.
  mode = 2;
  servers.first->setHandler(testing::silent());
  mon.runProbePass();
  mon.runProbePass();
  EXPECT_FALSE(mon.healthy(0));
  EXPECT_TRUE(mon.healthy(1));
  const int first_before = servers.first->udpQueries();
  auto got = (*r)->lookupTxt("k.example");
  ASSERT_TRUE(got) << errorName(got.error());
  EXPECT_EQ((*got)[0].data, "up");
  EXPECT_EQ(servers.first->udpQueries(), first_before);
}

TEST(MonitorTest, ThreadProbesAndStopsWithinAboutASecond) {
  auto server = testing::FakeDnsServer::start("127.0.0.2", 0, testing::rcode(0));
  ASSERT_TRUE(server);
  auto m = NameserverMonitor::create(std::vector<std::string>{"127.0.0.2"},
                                     MonitorOptions{5, 2000, server->port()});
  ASSERT_TRUE(m);
  ASSERT_TRUE((*m)->start());
  EXPECT_TRUE((*m)->started());
  const std::uint64_t deadline = platform::monotonicMillis() + 3000;
  while (server->udpQueries() == 0 && platform::monotonicMillis() < deadline) {
    platform::sleepMillis(10);
  }
  EXPECT_EQ(server->udpQueries(), 1) << "the first pass runs at once";
  platform::sleepMillis(200);  // now sleeping between passes

  const std::uint64_t start = platform::monotonicMillis();
  (*m)->stop();
  EXPECT_LT(platform::monotonicMillis() - start, 1500u);
  EXPECT_FALSE((*m)->started());
}

}  // namespace
}  // namespace quellsig
