#include "platform/tcp_stream.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include "platform/socket_common.h"
#include "platform/system_error.h"

namespace quellsig::platform {

Result<TcpStream> TcpStream::open(const SocketAddress& family_of) {
  UniqueFd fd(::socket(detail::familyOf(family_of), SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return fail(lastError());
  return TcpStream(std::move(fd));
}

Result<void> TcpStream::setTimeouts(std::uint32_t ms) {
  if (auto r = detail::setSocketTimeout(fd_.get(), SO_RCVTIMEO, ms); !r) return r;
  return detail::setSocketTimeout(fd_.get(), SO_SNDTIMEO, ms);
}

Result<void> TcpStream::connect(const SocketAddress& to, std::uint32_t connect_timeout_ms) {
  return detail::connectWithin(fd_.get(), to.storage.data(), to.length, connect_timeout_ms);
}

Result<void> TcpStream::writeAll(std::span<const std::uint8_t> bytes) {
  return detail::writeAll(fd_.get(), bytes);
}

Result<std::size_t> TcpStream::readSome(std::span<std::uint8_t> out) {
  return detail::readSome(fd_.get(), out);
}

Result<void> TcpStream::readExact(std::span<std::uint8_t> out) {
  return detail::readExact(fd_.get(), out);
}

Result<TcpListener> TcpListener::listenOn(const SocketAddress& local) {
  auto fd =
      detail::listenStream(detail::familyOf(local), local.storage.data(), local.length, 16, true);
  if (!fd) return fail(fd.error());
  return TcpListener(std::move(*fd));
}

Result<std::optional<TcpStream>> TcpListener::accept(std::uint32_t timeout_ms) {
  auto fd = detail::acceptWithin(fd_.get(), timeout_ms);
  if (!fd) return fail(fd.error());
  if (!*fd) return std::optional<TcpStream>();
  return std::optional<TcpStream>(TcpStream(std::move(**fd)));
}

Result<SocketAddress> TcpListener::localAddress() const {
  return detail::socketLocalAddress(fd_.get());
}

}  // namespace quellsig::platform
