#include "platform/socket_common.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <limits>

#include "platform/clock.h"
#include "platform/system_error.h"

namespace quellsig::platform::detail {
namespace {

Error ioError(int err) {
  if (err == EAGAIN || err == EWOULDBLOCK) return Error::TimedOut;
  return errorFromErrno(err);
}

}  // namespace

int familyOf(const SocketAddress& a) { return isIpv6(a) ? AF_INET6 : AF_INET; }

Result<void> setNonBlocking(int fd, bool on) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return fail(lastError());
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (::fcntl(fd, F_SETFL, flags) != 0) return fail(lastError());
  return {};
}

Result<void> setSocketTimeout(int fd, int option, std::uint32_t ms) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(ms / 1000);
  tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
  if (::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) != 0) return fail(lastError());
  return {};
}

Result<SocketAddress> socketLocalAddress(int fd) {
  SocketAddress out;
  socklen_t len = sizeof out.storage;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(out.storage.data()), &len) != 0) {
    return fail(lastError());
  }
  out.length = len;
  return out;
}

Result<bool> waitFor(int fd, short events, std::uint32_t timeout_ms) {
  const std::uint64_t deadline = monotonicMillis() + timeout_ms;
  for (;;) {
    std::uint64_t now = monotonicMillis();
    int left = now >= deadline ? 0 : pollTimeout(deadline - now);
    pollfd p{fd, events, 0};
    int n = ::poll(&p, 1, left);
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return fail(lastError());
  }
}

Result<void> writeAll(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(ioError(errno));
    }
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return {};
}

Result<std::size_t> readSome(int fd, std::span<std::uint8_t> out) {
  for (;;) {
    ssize_t n = ::recv(fd, out.data(), out.size(), 0);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return fail(ioError(errno));
  }
}

Result<void> readExact(int fd, std::span<std::uint8_t> out) {
  while (!out.empty()) {
    auto n = readSome(fd, out);
    if (!n) return fail(n.error());
    if (*n == 0) return fail(Error::EndOfStream);
    out = out.subspan(*n);
  }
  return {};
}

Result<UniqueFd> listenStream(int family, const void* address, std::uint32_t length, int backlog,
                              bool reuse_address) {
  UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return fail(lastError());
  int one = 1;
  if (reuse_address && ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
    return fail(lastError());
  }
  if (::bind(fd.get(), static_cast<const sockaddr*>(address), length) != 0) {
    return fail(lastError());
  }
  if (::listen(fd.get(), backlog) != 0) return fail(lastError());
  return fd;
}

Result<std::optional<UniqueFd>> acceptWithin(int fd, std::uint32_t timeout_ms) {
  auto ready = waitFor(fd, POLLIN, timeout_ms);
  if (!ready) return fail(ready.error());
  if (!*ready) return std::optional<UniqueFd>();
  for (;;) {
    int accepted = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (accepted >= 0) return std::optional<UniqueFd>(UniqueFd(accepted));
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == ECONNABORTED) return std::optional<UniqueFd>();
    return fail(lastError());
  }
}

Result<void> connectWithin(int fd, const void* address, std::uint32_t length,
                           std::uint32_t timeout_ms) {
  if (timeout_ms == 0) timeout_ms = 1000;
  if (auto r = setNonBlocking(fd, true); !r) return r;
  int rc = ::connect(fd, static_cast<const sockaddr*>(address), length);
  if (rc != 0) {
    if (errno != EINPROGRESS && errno != EINTR) return fail(lastError());
    auto ready = waitFor(fd, POLLOUT, timeout_ms);
    if (!ready) return fail(ready.error());
    if (!*ready) return fail(Error::TimedOut);
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return fail(lastError());
    if (err != 0) return fail(errorFromErrno(err));
  }
  return setNonBlocking(fd, false);
}

int pollTimeout(std::uint64_t ms) {
  return ms > static_cast<std::uint64_t>(std::numeric_limits<int>::max())
             ? std::numeric_limits<int>::max()
             : static_cast<int>(ms);
}

}  // namespace quellsig::platform::detail
