#include "platform/local_datagram.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

#include "platform/system_error.h"

namespace quellsig::platform {

Result<UniqueFd> bindLocalDatagram(std::string_view path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof(addr.sun_path)) return fail(Error::PathTooLong);
  std::memcpy(addr.sun_path, path.data(), path.size());
  UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) return fail(lastError());
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    return fail(lastError());
  }
  return fd;
}

Result<std::optional<std::size_t>> receiveLocalDatagram(int fd, std::span<std::uint8_t> buffer,
                                                        std::uint32_t timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  int n = ::poll(&p, 1, static_cast<int>(timeout_ms));
  if (n < 0 && errno != EINTR) return fail(lastError());
  if (n <= 0) return std::optional<std::size_t>();
  ssize_t got = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
  if (got < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      return std::optional<std::size_t>();
    }
    return fail(lastError());
  }
  return std::optional<std::size_t>(static_cast<std::size_t>(got));
}

}  // namespace quellsig::platform
