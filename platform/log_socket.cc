#include "platform/log_socket.h"

#include <fcntl.h>
#include <paths.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>  // _PATH_LOG on glibc
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/system_error.h"

namespace quellsig::platform {

std::string_view defaultLogSocketPath() { return _PATH_LOG; }

Result<UniqueFd> connectLogSocket(std::string_view path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof(addr.sun_path)) return fail(Error::PathTooLong);
  std::memcpy(addr.sun_path, path.data(), path.size());
  UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) return fail(lastError());
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
    return fail(lastError());
  }
  return fd;
}

void sendRecord(int fd, std::string_view record) {
  (void)::send(fd, record.data(), record.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

void writeStandardError(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(2, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

int processId() { return static_cast<int>(::getpid()); }

}  // namespace quellsig::platform
