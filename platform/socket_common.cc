#include "platform/socket_common.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <limits>

#include "platform/system_error.h"

namespace quellsig::platform::detail {

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

int pollTimeout(std::uint64_t ms) {
  return ms > static_cast<std::uint64_t>(std::numeric_limits<int>::max())
             ? std::numeric_limits<int>::max()
             : static_cast<int>(ms);
}

}  // namespace quellsig::platform::detail
