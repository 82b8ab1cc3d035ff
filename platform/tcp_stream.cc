#include "platform/tcp_stream.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "platform/clock.h"
#include "platform/socket_common.h"
#include "platform/system_error.h"

namespace quellsig::platform {
namespace {

Error ioError(int err) {
  if (err == EAGAIN || err == EWOULDBLOCK) return Error::TimedOut;
  return errorFromErrno(err);
}

// Waits for the events on fd; false when the time ran out.
Result<bool> waitFor(int fd, short events, std::uint32_t timeout_ms) {
  const std::uint64_t deadline = monotonicMillis() + timeout_ms;
  for (;;) {
    std::uint64_t now = monotonicMillis();
    int left = now >= deadline ? 0 : detail::pollTimeout(deadline - now);
    pollfd p{fd, events, 0};
    int n = ::poll(&p, 1, left);
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return fail(lastError());
  }
}

}  // namespace

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
  if (connect_timeout_ms == 0) connect_timeout_ms = 1000;
  if (auto r = detail::setNonBlocking(fd_.get(), true); !r) return r;
  int rc = ::connect(fd_.get(), reinterpret_cast<const sockaddr*>(to.storage.data()), to.length);
  if (rc != 0) {
    if (errno != EINPROGRESS && errno != EINTR) return fail(lastError());
    auto ready = waitFor(fd_.get(), POLLOUT, connect_timeout_ms);
    if (!ready) return fail(ready.error());
    if (!*ready) return fail(Error::TimedOut);
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd_.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) return fail(lastError());
    if (err != 0) return fail(errorFromErrno(err));
  }
  return detail::setNonBlocking(fd_.get(), false);
}

Result<void> TcpStream::writeAll(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(ioError(errno));
    }
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return {};
}

Result<std::size_t> TcpStream::readSome(std::span<std::uint8_t> out) {
  for (;;) {
    ssize_t n = ::recv(fd_.get(), out.data(), out.size(), 0);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return fail(ioError(errno));
  }
}

Result<void> TcpStream::readExact(std::span<std::uint8_t> out) {
  while (!out.empty()) {
    auto n = readSome(out);
    if (!n) return fail(n.error());
    if (*n == 0) return fail(Error::EndOfStream);
    out = out.subspan(*n);
  }
  return {};
}

Result<TcpListener> TcpListener::listenOn(const SocketAddress& local) {
  UniqueFd fd(::socket(detail::familyOf(local), SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return fail(lastError());
  int one = 1;
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
    return fail(lastError());
  }
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(local.storage.data()), local.length) !=
      0) {
    return fail(lastError());
  }
  if (::listen(fd.get(), 16) != 0) return fail(lastError());
  return TcpListener(std::move(fd));
}

Result<std::optional<TcpStream>> TcpListener::accept(std::uint32_t timeout_ms) {
  auto ready = waitFor(fd_.get(), POLLIN, timeout_ms);
  if (!ready) return fail(ready.error());
  if (!*ready) return std::optional<TcpStream>();
  for (;;) {
    int fd = ::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) return std::optional<TcpStream>(TcpStream(UniqueFd(fd)));
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == ECONNABORTED) return std::optional<TcpStream>();
    return fail(lastError());
  }
}

Result<SocketAddress> TcpListener::localAddress() const {
  return detail::socketLocalAddress(fd_.get());
}

}  // namespace quellsig::platform
