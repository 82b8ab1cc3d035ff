#include "tests/support/fake_dns_server.h"

namespace quellsig::testing {
namespace {

void putU16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v & 0xff));
}

void putName(std::vector<std::uint8_t>& out, const std::string& name) {
  std::size_t start = 0;
  while (start < name.size()) {
    std::size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    out.push_back(static_cast<std::uint8_t>(dot - start));
    out.insert(out.end(), name.begin() + static_cast<std::ptrdiff_t>(start),
               name.begin() + static_cast<std::ptrdiff_t>(dot));
    start = dot + 1;
  }
  out.push_back(0);
}

FakeQuery decodeQuery(std::vector<std::uint8_t> bytes, bool tcp) {
  FakeQuery q;
  q.tcp = tcp;
  if (bytes.size() >= 2) q.id = static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
  if (auto name = readName(bytes, kDnsHeaderSize)) q.name = *name;
  q.bytes = std::move(bytes);
  return q;
}

}  // namespace

std::vector<std::uint8_t> txtRdata(const std::vector<std::string>& pieces) {
  std::vector<std::uint8_t> out;
  for (const auto& p : pieces) {
    out.push_back(static_cast<std::uint8_t>(p.size()));
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

std::vector<std::uint8_t> buildReply(const FakeQuery& query, std::uint8_t rcode,
                                     const std::vector<FakeRecord>& answers, bool truncated) {
  std::vector<std::uint8_t> out;
  putU16(out, query.id);
  putU16(out, static_cast<std::uint16_t>(0x8180 | (truncated ? 0x0200 : 0) | (rcode & 0x0f)));
  putU16(out, 1);
  putU16(out, static_cast<std::uint16_t>(answers.size()));
  putU16(out, 0);
  putU16(out, 0);
  putName(out, query.name);
  putU16(out, kDnsTypeTxt);
  putU16(out, 1);
  for (const auto& a : answers) {
    putName(out, a.owner);
    putU16(out, a.type);
    putU16(out, 1);
    putU16(out, static_cast<std::uint16_t>(a.ttl >> 16));
    putU16(out, static_cast<std::uint16_t>(a.ttl & 0xffff));
    putU16(out, static_cast<std::uint16_t>(a.rdata.size()));
    out.insert(out.end(), a.rdata.begin(), a.rdata.end());
  }
  return out;
}

FakeDatagram txtAnswer(const FakeQuery& query, const std::string& text, std::uint32_t ttl) {
  return {buildReply(query, 0, {{query.name, kDnsTypeTxt, ttl, txtRdata({text})}}), false};
}

std::unique_ptr<FakeDnsServer> FakeDnsServer::start(const std::string& address, std::uint16_t port,
                                                    FakeHandler handler) {
  std::unique_ptr<FakeDnsServer> s(new FakeDnsServer());
  s->address_ = address;
  s->handler_ = std::move(handler);
  auto local = platform::parseIpLiteral(address, port);
  if (!local) return nullptr;
  auto udp = platform::UdpSocket::bindTo(*local);
  if (!udp || !udp->setReceiveTimeout(20)) return nullptr;
  auto bound = udp->localAddress();
  if (!bound) return nullptr;
  auto tcp = platform::TcpListener::listenOn(*bound);
  if (!tcp) return nullptr;
  auto foreign = platform::UdpSocket::bindTo(platform::withPort(*bound, 0));
  if (!foreign) return nullptr;
  s->port_ = platform::portOf(*bound);
  s->udp_ = std::move(*udp);
  s->tcp_ = std::move(*tcp);
  s->foreign_ = std::move(*foreign);
  auto t = platform::Thread::start([raw = s.get()] { raw->run(); });
  if (!t) return nullptr;
  s->thread_ = std::move(*t);
  return s;
}

FakeDnsServer::~FakeDnsServer() {
  stop_.store(true);
  thread_.join();
}

void FakeDnsServer::setHandler(FakeHandler handler) {
  std::lock_guard<std::mutex> lock(handler_mu_);
  handler_ = std::move(handler);
}

std::vector<FakeDatagram> FakeDnsServer::handle(const FakeQuery& q) {
  std::lock_guard<std::mutex> lock(handler_mu_);
  return handler_ ? handler_(q) : std::vector<FakeDatagram>{};
}

void FakeDnsServer::run() {
  std::uint8_t buf[4096];
  while (!stop_.load()) {
    platform::SocketAddress from;
    auto got = udp_->receiveFrom(buf, from);
    if (got && *got) {
      ++udp_queries_;
      FakeQuery q = decodeQuery(std::vector<std::uint8_t>(buf, buf + **got), false);
      for (const auto& d : handle(q)) {
        (void)(d.foreign_source ? foreign_->sendTo(d.bytes, from) : udp_->sendTo(d.bytes, from));
      }
    }
    auto conn = tcp_->accept(0);
    if (conn && *conn) serveTcp(std::move(**conn));
  }
}

void FakeDnsServer::serveTcp(platform::TcpStream conn) {
  if (!conn.setTimeouts(1000)) return;
  std::uint8_t prefix[2];
  if (!conn.readExact(prefix)) return;
  std::vector<std::uint8_t> bytes((std::size_t{prefix[0]} << 8) | prefix[1]);
  if (!conn.readExact(bytes)) return;
  ++tcp_queries_;
  for (const auto& d : handle(decodeQuery(std::move(bytes), true))) {
    if (d.foreign_source) continue;
    std::vector<std::uint8_t> framed;
    putU16(framed, static_cast<std::uint16_t>(d.bytes.size()));
    framed.insert(framed.end(), d.bytes.begin(), d.bytes.end());
    (void)conn.writeAll(framed);
    return;
  }
}

}  // namespace quellsig::testing
