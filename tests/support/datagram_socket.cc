#include "tests/support/datagram_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

#include "platform/system_error.h"

namespace quellsig::testutil {

Result<platform::UniqueFd> bindDatagramSocket(std::string_view path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof(addr.sun_path)) return fail(Error::PathTooLong);
  std::memcpy(addr.sun_path, path.data(), path.size());
  platform::UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) return fail(platform::lastError());
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
    return fail(platform::lastError());
  }
  return fd;
}

Result<std::optional<std::string>> receiveDatagram(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  int rc;
  do {
    rc = ::poll(&p, 1, timeout_ms);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) return fail(platform::lastError());
  if (rc == 0) return std::optional<std::string>();
  std::string buf(65536, '\0');
  // Non-blocking: readiness is only a hint when another reader shares the socket.
  ssize_t n = ::recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    return std::optional<std::string>();
  }
  if (n < 0) return fail(platform::lastError());
  buf.resize(static_cast<std::size_t>(n));
  return std::optional<std::string>(std::move(buf));
}

}  // namespace quellsig::testutil
