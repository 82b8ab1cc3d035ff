#include "platform/udp_socket.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

#include "platform/socket_common.h"
#include "platform/system_error.h"

namespace quellsig::platform {

Result<UdpSocket> UdpSocket::open(const SocketAddress& family_of) {
  UniqueFd fd(::socket(detail::familyOf(family_of), SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) return fail(lastError());
  return UdpSocket(std::move(fd));
}

Result<UdpSocket> UdpSocket::bindTo(const SocketAddress& local) {
  auto s = open(local);
  if (!s) return s;
  if (::bind(s->fd_.get(), reinterpret_cast<const sockaddr*>(local.storage.data()), local.length) !=
      0) {
    return fail(lastError());
  }
  return s;
}

Result<void> UdpSocket::setReceiveTimeout(std::uint32_t ms) {
  return detail::setSocketTimeout(fd_.get(), SO_RCVTIMEO, ms);
}

Result<void> UdpSocket::sendTo(std::span<const std::uint8_t> datagram, const SocketAddress& to) {
  for (;;) {
    ssize_t n = ::sendto(fd_.get(), datagram.data(), datagram.size(), MSG_NOSIGNAL,
                         reinterpret_cast<const sockaddr*>(to.storage.data()), to.length);
    if (n >= 0) return {};
    if (errno != EINTR) return fail(lastError());
  }
}

Result<std::optional<std::size_t>> UdpSocket::receiveFrom(std::span<std::uint8_t> buffer,
                                                          SocketAddress& from) {
  for (;;) {
    from = SocketAddress{};
    socklen_t len = sizeof from.storage;
    ssize_t n = ::recvfrom(fd_.get(), buffer.data(), buffer.size(), 0,
                           reinterpret_cast<sockaddr*>(from.storage.data()), &len);
    if (n >= 0) {
      from.length = len;
      return std::optional<std::size_t>(static_cast<std::size_t>(n));
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return std::optional<std::size_t>();
    return fail(lastError());
  }
}

Result<SocketAddress> UdpSocket::localAddress() const {
  return detail::socketLocalAddress(fd_.get());
}

}  // namespace quellsig::platform
