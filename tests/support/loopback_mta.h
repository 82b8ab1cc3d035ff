// LoopbackMta: the MTA side of one milter connection, just enough for tests
// of the listeners and workers: connect over TCP or a UNIX-domain socket,
// send packets, read packets, notice that the filter closed the connection.
// Reads and writes give up after timeout_ms. One thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/fd.h"

namespace quellsig::testing {

class LoopbackMta {
 public:
  static std::optional<LoopbackMta> overTcp(std::string_view ip, std::uint16_t port,
                                            std::uint32_t timeout_ms = 5000);
  static std::optional<LoopbackMta> overUnix(std::string_view path,
                                             std::uint32_t timeout_ms = 5000);

  bool send(std::string_view bytes);
  // One packet: its length, the command byte and the payload.
  bool sendPacket(char command, std::string_view payload = {});
  // One packet's command byte and payload; nullopt on end of stream, error
  // or timeout.
  std::optional<std::string> readPacket();
  // Sends the version 6 negotiation offering everything.
  bool sendNegotiation();
  // sendNegotiation, then the filter's answer packet.
  std::optional<std::string> negotiate();
  // True when the filter closes the connection (end of stream or reset)
  // within the timeout without sending anything.
  bool closedByFilter();

 private:
  explicit LoopbackMta(platform::UniqueFd fd) : fd_(std::move(fd)) {}
  bool readExact(std::string& out, std::size_t n);
  platform::UniqueFd fd_;
};

}  // namespace quellsig::testing
