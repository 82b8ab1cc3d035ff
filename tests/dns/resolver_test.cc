#include "dns/resolver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/dns/fake_servers.h"
#include "tests/support/log_capture.h"

namespace quellsig {
namespace {

using testing::buildReply;
using testing::FakeDatagram;
using testing::FakeQuery;
using testing::FakeRecord;
using testing::rcode;
using testing::ServerPair;
using testing::silent;
using testing::txtAnswer;
using testing::txtRdata;
using Records = std::vector<DnsAnswerRecord>;

std::unique_ptr<DnsResolver> resolverFor(const DnsSettings& s) {
  auto r = DnsResolver::create(s);
  EXPECT_TRUE(r);
  return r ? std::move(*r) : nullptr;
}

bool logged(testing::LogCapture& log, std::string_view prefix) {
  const auto& m = log.messages();
  return std::any_of(m.begin(), m.end(),
                     [&](const std::string& s) { return s.starts_with(prefix); });
}

TEST(ResolverTest, SilentServerGetsRetriesPlusOneQueriesThenNextAnswers) {
  auto servers = ServerPair::start(silent(), testing::answering("v=DKIM1; p=x"));
  ASSERT_TRUE(servers.ok());
  auto r = resolverFor(servers.settings());
  auto got = r->lookupTxt("k._domainkey.Example");
  ASSERT_TRUE(got) << errorName(got.error());
  ASSERT_EQ(got->size(), 1u);
  EXPECT_EQ((*got)[0].data, "v=DKIM1; p=x");
  EXPECT_EQ((*got)[0].owner, "k._domainkey.Example");
  EXPECT_EQ(servers.first->udpQueries(), 3);
  EXPECT_EQ(servers.second->udpQueries(), 1);
  EXPECT_EQ(r->nextServer(), 0u);  // past the server that answered (the last one)

  // Served from the cache: no further packet.
  ASSERT_TRUE(r->lookupTxt("K._DOMAINKEY.example"));
  EXPECT_EQ(servers.first->udpQueries() + servers.second->udpQueries(), 4);
}

TEST(ResolverTest, AllSilentIsATimeoutThatIsCached) {
  testing::LogCapture log;
  auto servers = ServerPair::start(silent(), silent());
  ASSERT_TRUE(servers.ok());
  auto s = servers.settings(100);
  s.retries = 0;
  auto r = resolverFor(s);
  auto got = r->lookupTxt("dead.example");
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error(), Error::DnsTimeout);
  EXPECT_EQ(servers.first->udpQueries() + servers.second->udpQueries(), 2);
  EXPECT_TRUE(logged(log, "dns: query dead.example failed err=error.DnsTimeout elapsed="));

  log.clear();
  got = r->lookupTxt("dead.example");
  EXPECT_EQ(got.error(), Error::DnsTimeout);
  EXPECT_EQ(servers.first->udpQueries() + servers.second->udpQueries(), 2);
  EXPECT_EQ(log.count("dns: cache negative hit dead.example kind=timeout"), 1);
}

TEST(ResolverTest, RcodeHandlingAcrossServers) {
  struct Case {
    const char* name;
    std::uint8_t first, second;  // 0 for the second means it answers a record
    Error error;                 // Unexpected: success expected
    int second_queries;
    const char* line;  // a log line the lookup must write, or ""
  } cases[] = {
      {"servfail moves on", 2, 0, Error::Unexpected, 1,
       "dns: 127.0.0.2 returned rcode=2, trying next server"},
      {"refused moves on", 5, 0, Error::Unexpected, 1,
       "dns: 127.0.0.2 returned rcode=5, trying next server"},
      {"formerr stops", 1, 0, Error::DnsServerFailure, 0,
       "dns: n.example refused, rcode=format_error from all nameservers"},
      {"notimp stops", 4, 0, Error::DnsServerFailure, 0,
       "dns: n.example refused, rcode=not_implemented from all nameservers"},
      {"unnamed rcode", 9, 0, Error::DnsServerFailure, 0,
       "dns: n.example refused, rcode=rcode9 from all nameservers"},
      {"all refuse: the last reply counts", 2, 5, Error::DnsServerFailure, 1,
       "dns: n.example refused, rcode=refused from all nameservers"},
      {"name error", 3, 0, Error::DnsNameError, 0, ""},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    testing::LogCapture log;
    auto servers =
        ServerPair::start(rcode(tc.first), tc.second ? rcode(tc.second) : testing::answering("ok"));
    ASSERT_TRUE(servers.ok());
    auto r = resolverFor(servers.settings());
    auto got = r->lookupTxt("n.example");
    EXPECT_EQ(servers.first->udpQueries(), 1);
    EXPECT_EQ(servers.second->udpQueries(), tc.second_queries);
    if (tc.error == Error::Unexpected) {
      ASSERT_TRUE(got) << errorName(got.error());
      EXPECT_EQ((*got)[0].data, "ok");
    } else {
      ASSERT_FALSE(got);
      EXPECT_EQ(got.error(), tc.error);
      // Negative answers are cached: asking again sends nothing.
      EXPECT_EQ(r->lookupTxt("n.example").error(), tc.error);
      EXPECT_EQ(servers.first->udpQueries(), 1);
    }
    if (*tc.line) {
      EXPECT_EQ(log.count(tc.line), 1) << ::testing::PrintToString(log.messages());
    }
    if (tc.error == Error::DnsNameError) {
      EXPECT_FALSE(logged(log, "dns: n.example refused"));
    }
  }
}

TEST(ResolverTest, HealthyServersTakeTurns) {
  auto servers = ServerPair::start(testing::answering("a"), testing::answering("b"));
  ASSERT_TRUE(servers.ok());
  auto r = resolverFor(servers.settings());
  std::string order;
  for (int i = 0; i < 4; ++i) {
    auto got = r->lookupTxt("n" + std::to_string(i) + ".example");
    ASSERT_TRUE(got);
    order += (*got)[0].data;
  }
  EXPECT_EQ(order, "abab");
}

TEST(ResolverTest, EmptyAnswerIsNotCached) {
  auto servers = ServerPair::start(rcode(0), rcode(0));
  ASSERT_TRUE(servers.ok());
  auto r = resolverFor(servers.settings());
  for (int i = 0; i < 2; ++i) {
    auto got = r->lookupTxt("empty.example");
    ASSERT_TRUE(got);
    EXPECT_TRUE(got->empty());
  }
  EXPECT_EQ(servers.first->udpQueries() + servers.second->udpQueries(), 2);
  EXPECT_EQ(r->cache().size(), 0u);
}

TEST(ResolverTest, StrayDatagrams) {
  struct Case {
    const char* name;
    testing::FakeHandler handler;
    Error error;  // Unexpected: "real" expected
    int queries;
  } cases[] = {
      {"foreign id from the server",
       [](const FakeQuery& q) {
         FakeQuery other = q;
         other.id ^= 0x5a5a;
         return std::vector<FakeDatagram>{txtAnswer(other, "forged")};
       },
       Error::IdMismatch, 1},
      {"foreign source is ignored within the attempt",
       [](const FakeQuery& q) {
         auto forged = txtAnswer(q, "forged");
         forged.foreign_source = true;
         return std::vector<FakeDatagram>{forged, txtAnswer(q, "real")};
       },
       Error::Unexpected, 1},
      {"short datagram uses up the attempt",
       [n = std::make_shared<int>(0)](const FakeQuery& q) {
         if ((*n)++ == 0) return std::vector<FakeDatagram>{{std::vector<std::uint8_t>(11, 0)}};
         return std::vector<FakeDatagram>{txtAnswer(q, "real")};
       },
       Error::Unexpected, 2},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    auto server = testing::FakeDnsServer::start("127.0.0.2", 0, tc.handler);
    ASSERT_TRUE(server);
    DnsSettings s;
    s.nameservers = {"127.0.0.2"};
    s.port = server->port();
    s.timeout_ms = 300;
    auto r = resolverFor(s);
    auto got = r->lookupTxt("stray.example");
    EXPECT_EQ(server->udpQueries(), tc.queries);
    if (tc.error != Error::Unexpected) {
      ASSERT_FALSE(got);
      EXPECT_EQ(got.error(), tc.error);
      EXPECT_EQ(r->cache().size(), 0u);
      continue;
    }
    ASSERT_TRUE(got) << errorName(got.error());
    EXPECT_EQ((*got)[0].data, "real");
  }
}

TEST(ResolverTest, TcpFallback) {
  auto truncated = [](const FakeQuery& q) {
    return FakeDatagram{buildReply(q, 0, {{q.name, kDnsTypeTxt, 300, txtRdata({"part"})}}, true)};
  };
  struct Case {
    const char* name;
    std::function<std::vector<FakeDatagram>(const FakeQuery&)> over_tcp;
    std::string data;
    const char* line;
  } cases[] = {
      {"complete reply replaces the truncated one",
       [](const FakeQuery& q) {
         return std::vector<FakeDatagram>{
             {buildReply(q, 0, {{q.name, kDnsTypeTxt, 300, txtRdata({"part", "whole"})}})}};
       },
       "partwhole", ""},
      {"tcp closed without reply", [](const FakeQuery&) { return std::vector<FakeDatagram>{}; },
       "part", "dns: tcp retry for big.example failed err=error.DnsTimeout"},
      {"foreign id over tcp",
       [](const FakeQuery& q) {
         FakeQuery other = q;
         other.id ^= 1;
         return std::vector<FakeDatagram>{txtAnswer(other, "forged")};
       },
       "part", ""},
      {"unparseable tcp reply",
       [](const FakeQuery& q) {
         auto bytes = buildReply(q, 0, {});
         bytes.resize(14);  // question cut short
         return std::vector<FakeDatagram>{{bytes}};
       },
       "part", "dns: tcp reply for big.example unparseable err=error.PacketTooShort"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    testing::LogCapture log;
    auto handler = [&](const FakeQuery& q) {
      return q.tcp ? tc.over_tcp(q) : std::vector<FakeDatagram>{truncated(q)};
    };
    auto server = testing::FakeDnsServer::start("127.0.0.2", 0, handler);
    ASSERT_TRUE(server);
    DnsSettings s;
    s.nameservers = {"127.0.0.2"};
    s.port = server->port();
    s.timeout_ms = 500;
    auto r = resolverFor(s);
    auto got = r->lookupTxt("big.example");
    ASSERT_TRUE(got) << errorName(got.error());
    ASSERT_EQ(got->size(), 1u);
    EXPECT_EQ((*got)[0].data, tc.data);
    EXPECT_EQ(server->tcpQueries(), 1);
    EXPECT_EQ(log.count("dns: big.example truncated over udp, retrying over tcp"), 1);
    if (*tc.line) {
      EXPECT_EQ(log.count(tc.line), 1) << ::testing::PrintToString(log.messages());
    }
  }
}

TEST(ResolverTest, TcpRetryWalksFromTheServerAfterTheOneThatAnswered) {
  // Over UDP both servers answer truncated; over TCP each names itself, or
  // closes without a reply once tcp_fails is set.
  auto tcp_fails = std::make_shared<std::atomic<bool>>(false);
  auto handler = [tcp_fails](std::string self) {
    return [tcp_fails, self](const FakeQuery& q) {
      if (!q.tcp) {
        return std::vector<FakeDatagram>{
            {buildReply(q, 0, {{q.name, kDnsTypeTxt, 300, txtRdata({"part"})}}, true)}};
      }
      if (tcp_fails->load()) return std::vector<FakeDatagram>{};
      return std::vector<FakeDatagram>{txtAnswer(q, self)};
    };
  };
  auto servers = ServerPair::start(handler("first"), handler("second"));
  ASSERT_TRUE(servers.ok());
  auto r = resolverFor(servers.settings(500));

  auto got = r->lookupTxt("one.example");  // UDP answered by the first server
  ASSERT_TRUE(got) << errorName(got.error());
  EXPECT_EQ((*got)[0].data, "second");
  EXPECT_EQ(servers.first->tcpQueries(), 0);
  EXPECT_EQ(servers.second->tcpQueries(), 1);
  EXPECT_EQ(r->nextServer(), 1u) << "the TCP phase leaves the rotation alone";

  got = r->lookupTxt("two.example");  // UDP answered by the second server
  ASSERT_TRUE(got) << errorName(got.error());
  EXPECT_EQ((*got)[0].data, "first");
  EXPECT_EQ(servers.first->tcpQueries(), 1);

  // TCP failing everywhere: every server is tried once, and the truncated
  // UDP answer is the result and is cached like any other.
  tcp_fails->store(true);
  got = r->lookupTxt("three.example");
  ASSERT_TRUE(got) << errorName(got.error());
  ASSERT_EQ(got->size(), 1u);
  EXPECT_EQ((*got)[0].data, "part");
  EXPECT_EQ(servers.first->tcpQueries(), 2);
  EXPECT_EQ(servers.second->tcpQueries(), 2);
  const int udp_before = servers.first->udpQueries() + servers.second->udpQueries();
  ASSERT_TRUE(r->lookupTxt("three.example"));
  EXPECT_EQ(servers.first->udpQueries() + servers.second->udpQueries(), udp_before);
}

TEST(ResolverTest, QueryIdsAreUnpredictable) {
  std::vector<std::uint16_t> ids;
  auto server = testing::FakeDnsServer::start("127.0.0.2", 0, [&](const FakeQuery& q) {
    ids.push_back(q.id);
    return std::vector<FakeDatagram>{txtAnswer(q, "x")};
  });
  ASSERT_TRUE(server);
  DnsSettings s;
  s.nameservers = {"127.0.0.2"};
  s.port = server->port();
  auto r = resolverFor(s);
  for (int i = 0; i < 16; ++i) ASSERT_TRUE(r->lookupTxt("id" + std::to_string(i) + ".example"));
  server.reset();  // joins the server thread before ids is read
  ASSERT_EQ(ids.size(), 16u);
  int sequential = 0;
  for (std::size_t i = 1; i < ids.size(); ++i)
    sequential += ids[i] == std::uint16_t(ids[i - 1] + 1);
  EXPECT_LT(sequential, 3);
  EXPECT_GT(std::set<std::uint16_t>(ids.begin(), ids.end()).size(), 12u);
}

TEST(ResolverTest, SettingsAndNameserverValidation) {
  EXPECT_EQ(DnsResolver::create(DnsSettings{{"127.0.0.1", "ns.example"}}).error(),
            Error::InvalidNameserver);
  EXPECT_EQ(firstInvalidNameserver({"127.0.0.1", "::1", "ns.example", "x"}), "ns.example");
  EXPECT_EQ(firstInvalidNameserver({"10.0.0.1", "2001:db8::1"}), std::nullopt);

  EXPECT_EQ(toolDnsSettings("localhost", 53).error(), Error::InvalidNameserver);
  auto tool = toolDnsSettings("::1", 5353);
  ASSERT_TRUE(tool);
  EXPECT_EQ(tool->nameservers, std::vector<std::string>{"::1"});
  EXPECT_EQ(tool->port, 5353);
  EXPECT_EQ(tool->timeout_ms, 5000u);
  EXPECT_EQ(tool->retries, 2);
  EXPECT_EQ(tool->cache_capacity, 1000u);
  EXPECT_EQ(tool->negative_ttl, 60u);

  // With no nameserver at all the lookup times out at once.
  testing::LogCapture log;
  auto r = resolverFor(DnsSettings{{}});
  EXPECT_EQ(r->lookupTxt("n.example").error(), Error::DnsTimeout);
  EXPECT_TRUE(logged(log, "dns: query n.example failed err=error.DnsTimeout elapsed=0ms"));
  EXPECT_EQ(r->lookupTxt("a..b").error(), Error::EmptyLabel);
}

}  // namespace
}  // namespace quellsig
