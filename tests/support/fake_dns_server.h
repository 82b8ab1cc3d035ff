// FakeDnsServer: a scriptable DNS server on one loopback address and port,
// UDP and TCP, for behaviours a real server will not produce on demand
// (silence, chosen RCODEs, foreign IDs, short datagrams, replies from a
// foreign source, broken TCP).
//
// The handler runs on the server's own thread for every query and returns
// the datagrams to send back, in order (none: stay silent; over TCP, close
// without a reply). A datagram marked foreign_source goes out from another
// socket of the same address. Counters may be read from any thread. The
// server thread polls its sockets at most every 20 ms and ends within about
// that when the object is destroyed.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "dns/message.h"
#include "platform/inet_address.h"
#include "platform/tcp_stream.h"
#include "platform/thread.h"
#include "platform/udp_socket.h"

namespace quellsig::testing {

struct FakeQuery {
  std::vector<std::uint8_t> bytes;
  std::uint16_t id = 0;
  std::string name;  // question name as read from the query
  bool tcp = false;
};

struct FakeDatagram {
  std::vector<std::uint8_t> bytes;
  bool foreign_source = false;
};

using FakeHandler = std::function<std::vector<FakeDatagram>(const FakeQuery&)>;

struct FakeRecord {
  std::string owner;
  std::uint16_t type = kDnsTypeTxt;
  std::uint32_t ttl = 300;
  std::vector<std::uint8_t> rdata;
};

// TXT RDATA made of one character-string per piece (each at most 255 bytes).
std::vector<std::uint8_t> txtRdata(const std::vector<std::string>& pieces);
// A reply to query with its question echoed and the answers appended
// (uncompressed owners).
std::vector<std::uint8_t> buildReply(const FakeQuery& query, std::uint8_t rcode,
                                     const std::vector<FakeRecord>& answers,
                                     bool truncated = false);
// One TXT answer carrying text for the queried name.
FakeDatagram txtAnswer(const FakeQuery& query, const std::string& text, std::uint32_t ttl = 300);

class FakeDnsServer {
 public:
  // port 0 picks a free one. Null when the sockets cannot be bound.
  static std::unique_ptr<FakeDnsServer> start(const std::string& address, std::uint16_t port,
                                              FakeHandler handler);
  ~FakeDnsServer();

  std::uint16_t port() const { return port_; }
  const std::string& address() const { return address_; }
  int udpQueries() const { return udp_queries_.load(); }
  int tcpQueries() const { return tcp_queries_.load(); }
  void setHandler(FakeHandler handler);

 private:
  FakeDnsServer() = default;
  void run();
  void serveTcp(platform::TcpStream conn);
  std::vector<FakeDatagram> handle(const FakeQuery& q);

  std::string address_;
  std::uint16_t port_ = 0;
  std::optional<platform::UdpSocket> udp_;
  std::optional<platform::UdpSocket> foreign_;
  std::optional<platform::TcpListener> tcp_;
  std::mutex handler_mu_;
  FakeHandler handler_;
  std::atomic<int> udp_queries_{0};
  std::atomic<int> tcp_queries_{0};
  std::atomic<bool> stop_{false};
  platform::Thread thread_;
};

}  // namespace quellsig::testing
