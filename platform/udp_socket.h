// UdpSocket: sole owner of one close-on-exec datagram socket of the IPv4 or
// IPv6 family.
//
// open() gives an unbound socket for sending to peers of the given address's
// family; bindTo() gives one bound to a local endpoint (port 0 picks a free
// port). receiveFrom() waits at most the receive timeout (SO_RCVTIMEO; 0 means
// no limit) and returns std::nullopt when it passes without a datagram. A
// datagram longer than the buffer is cut to it. System failures come back as
// named errors; nothing throws. One thread at a time per socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "platform/error.h"
#include "platform/fd.h"
#include "platform/inet_address.h"

namespace quellsig::platform {

class UdpSocket {
 public:
  static Result<UdpSocket> open(const SocketAddress& family_of);
  static Result<UdpSocket> bindTo(const SocketAddress& local);

  Result<void> setReceiveTimeout(std::uint32_t ms);
  Result<void> sendTo(std::span<const std::uint8_t> datagram, const SocketAddress& to);
  Result<std::optional<std::size_t>> receiveFrom(std::span<std::uint8_t> buffer,
                                                 SocketAddress& from);
  Result<SocketAddress> localAddress() const;

 private:
  explicit UdpSocket(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
};

}  // namespace quellsig::platform
