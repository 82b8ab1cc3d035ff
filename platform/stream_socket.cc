#include "platform/stream_socket.h"

#include <sys/socket.h>

#include <cerrno>

#include "platform/socket_common.h"
#include "platform/system_error.h"

namespace quellsig::platform {

Result<IoCount> receiveSome(int fd, std::span<std::uint8_t> out) {
  for (;;) {
    const ssize_t n = ::recv(fd, out.data(), out.size(), 0);
    if (n >= 0) return IoCount{static_cast<std::size_t>(n), false};
    if (errno == EAGAIN || errno == EWOULDBLOCK) return IoCount{0, true};
    if (errno != EINTR) return fail(lastError());
  }
}

Result<IoCount> sendSome(int fd, std::span<const std::uint8_t> bytes) {
  for (;;) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n >= 0) return IoCount{static_cast<std::size_t>(n), false};
    if (errno == EAGAIN || errno == EWOULDBLOCK) return IoCount{0, true};
    if (errno != EINTR) return fail(lastError());
  }
}

Result<void> makeNonBlocking(int fd) { return detail::setNonBlocking(fd, true); }

Result<void> setSendBufferSize(int fd, std::uint32_t bytes) {
  const int size = static_cast<int>(bytes);
  if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) != 0) return fail(lastError());
  return {};
}

Result<std::array<UniqueFd, 2>> streamSocketPair() {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0) {
    return fail(lastError());
  }
  return std::array<UniqueFd, 2>{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

}  // namespace quellsig::platform
