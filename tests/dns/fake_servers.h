// Two fake DNS servers on 127.0.0.2 and 127.0.0.3 sharing one port, since a
// resolver uses one port for every nameserver.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "dns/settings.h"
#include "tests/support/fake_dns_server.h"

namespace quellsig::testing {

struct ServerPair {
  std::unique_ptr<FakeDnsServer> first;
  std::unique_ptr<FakeDnsServer> second;

  static ServerPair start(FakeHandler a, FakeHandler b) {
    ServerPair p;
    for (int tries = 0; tries < 10 && !p.second; ++tries) {
      p.first = FakeDnsServer::start("127.0.0.2", 0, a);
      if (p.first) p.second = FakeDnsServer::start("127.0.0.3", p.first->port(), b);
    }
    return p;
  }
  bool ok() const { return first && second; }
  DnsSettings settings(std::uint32_t timeout_ms = 150) const {
    DnsSettings s;
    s.nameservers = {"127.0.0.2", "127.0.0.3"};
    s.port = first->port();
    s.timeout_ms = timeout_ms;
    s.retries = 2;
    return s;
  }
};

inline FakeHandler silent() {
  return [](const FakeQuery&) { return std::vector<FakeDatagram>{}; };
}
inline FakeHandler answering(std::string text) {
  return [text](const FakeQuery& q) { return std::vector<FakeDatagram>{txtAnswer(q, text)}; };
}
inline FakeHandler rcode(std::uint8_t code) {
  return [code](const FakeQuery& q) {
    return std::vector<FakeDatagram>{{buildReply(q, code, {}), false}};
  };
}

}  // namespace quellsig::testing
