#include "tests/support/nsd_server.h"

#include <sstream>

#include "dns/message.h"
#include "platform/clock.h"
#include "platform/inet_address.h"
#include "platform/tcp_stream.h"
#include "platform/udp_socket.h"
#include "tests/support/text_file.h"

namespace quellsig::testing {
namespace {

// One UDP query for the zone apex; true on any reply.
bool answers(const platform::SocketAddress& server, const std::string& zone) {
  auto sock = platform::UdpSocket::open(server);
  if (!sock || !sock->setReceiveTimeout(200)) return false;
  auto query = encodeQuery(zone, 0x5151);
  if (!query || !sock->sendTo(*query, server)) return false;
  std::uint8_t buf[4096];
  platform::SocketAddress from;
  auto got = sock->receiveFrom(buf, from);
  return got && *got && **got >= kDnsHeaderSize;
}

}  // namespace

std::uint16_t pickFreePort(const std::string& address) {
  for (int tries = 0; tries < 20; ++tries) {
    auto any = platform::parseIpLiteral(address, 0);
    if (!any) return 0;
    auto udp = platform::UdpSocket::bindTo(*any);
    if (!udp) continue;
    auto local = udp->localAddress();
    if (!local) continue;
    // The TCP side of the same port must be free as well.
    auto tcp = platform::TcpListener::listenOn(*local);
    if (tcp) return platform::portOf(*local);
  }
  return 0;
}

std::unique_ptr<NsdServer> NsdServer::start(NsdOptions options, std::string* error) {
  if (options.zones.empty()) {
    *error = "no zone given";
    return nullptr;
  }
  std::unique_ptr<NsdServer> server(new NsdServer());
  auto dir = testutil::PrivateDir::create("nsd");
  if (!dir) {
    *error = "cannot create a temporary directory";
    return nullptr;
  }
  server->dir_ = std::move(*dir);
  server->options_ = std::move(options);
  const bool fixed_port = server->options_.port != 0;
  for (int tries = 0; tries < (fixed_port ? 1 : 3); ++tries) {
    if (!fixed_port) server->options_.port = pickFreePort(server->options_.address);
    if (server->launch(error)) return server;
  }
  return nullptr;
}

bool NsdServer::launch(std::string* error) {
  const std::string& d = dir_.path();
  std::ostringstream conf;
  conf << "server:\n"
       << "  ip-address: " << options_.address << "@" << options_.port << "\n"
       << "  username: \"\"\n"
       << "  chroot: \"" << d << "\"\n"
       << "  zonesdir: \"" << d << "\"\n"
       << "  pidfile: \"" << d << "/nsd.pid\"\n"
       << "  xfrdfile: \"" << d << "/xfrd.state\"\n"
       << "  xfrdir: \"" << d << "\"\n"
       << "  zonelistfile: \"" << d << "/zone.list\"\n"
       << "  database: \"\"\n"
       << "  logfile: \"" << d << "/nsd.log\"\n"
       << "  server-count: 1\n"
       << "  do-ip6: no\n"
       << "  verbosity: 1\n"
       // Response-rate limiting would drop or truncate a fast test client.
       << "  rrl-ratelimit: 0\n"
       << "remote-control:\n"
       << "  control-enable: no\n";
  for (const auto& z : options_.zones) {
    conf << "zone:\n  name: \"" << z.name << "\"\n  zonefile: \"" << d << "/" << z.name
         << ".zone\"\n";
    if (!writeTextFile(d + "/" + z.name + ".zone", z.text)) {
      *error = "cannot write the zone file of " + z.name;
      return false;
    }
  }
  for (const auto& [name, text] : options_.extra_files) {
    if (!writeTextFile(d + "/" + name, text)) {
      *error = "cannot write " + name;
      return false;
    }
  }
  if (!writeTextFile(d + "/nsd.conf", conf.str())) {
    *error = "cannot write nsd.conf";
    return false;
  }

  const std::string output = d + "/nsd.out";
  std::vector<std::string> argv = {"nsd", "-d", "-c", d + "/nsd.conf"};
  auto child = testutil::BackgroundProcess::spawn(argv, output);
  if (!child) {
    *error = std::string("cannot run nsd: ") + std::string(errorName(child.error()));
    return false;
  }
  process_ = std::move(*child);

  auto addr = platform::parseIpLiteral(options_.address, options_.port);
  if (!addr) {
    *error = "invalid address " + options_.address;
    return false;
  }
  const std::uint64_t deadline = platform::monotonicMillis() + 10'000;
  while (platform::monotonicMillis() < deadline) {
    if (!process_.running()) break;
    if (answers(*addr, options_.zones.front().name)) return true;
  }
  process_.stop(2000);
  *error = "nsd did not answer: " + readTextFile(output) + readTextFile(d + "/nsd.log");
  return false;
}

NsdServer::~NsdServer() { process_.stop(3000); }

}  // namespace quellsig::testing
