#include "platform/listen_socket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/socket_common.h"
#include "platform/system_error.h"

namespace quellsig::platform {
namespace {

static_assert(sizeof(sockaddr_un{}.sun_path) > kMaxUnixPathBytes);

Result<void> setFlag(int fd, int level, int option) {
  const int one = 1;
  if (::setsockopt(fd, level, option, &one, sizeof one) != 0) return fail(lastError());
  return {};
}

Result<UniqueFd> bindAndListen(int family, int protocol, const sockaddr* address,
                               socklen_t length, bool reuse_port) {
  UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol));
  if (!fd) return fail(lastError());
  if (auto r = setFlag(fd.get(), SOL_SOCKET, SO_REUSEADDR); !r) return fail(r.error());
  if (reuse_port) {
    if (auto r = setFlag(fd.get(), SOL_SOCKET, SO_REUSEPORT); !r) return fail(r.error());
  }
  if (::bind(fd.get(), address, length) != 0) return fail(lastError());
  if (::listen(fd.get(), kListenBacklog) != 0) return fail(lastError());
  if (auto bound = detail::socketLocalAddress(fd.get()); !bound) return fail(bound.error());
  return fd;
}

}  // namespace

void removeUnixSocketFile(std::string_view path) {
  if (path.empty() || path.size() > kMaxUnixPathBytes) return;
  const std::string p(path);
  struct stat st{};
  if (::lstat(p.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) (void)::unlink(p.c_str());
}

Result<UniqueFd> listenOnUnixPath(std::string_view path) {
  if (path.size() > kMaxUnixPathBytes) return fail(Error::NameTooLong);
  if (path.empty() || path.find('\0') != path.npos) return fail(Error::InvalidPath);
  removeUnixSocketFile(path);
  sockaddr_un sun{};
  sun.sun_family = AF_UNIX;
  std::memcpy(sun.sun_path, path.data(), path.size());
  return bindAndListen(AF_UNIX, 0, reinterpret_cast<const sockaddr*>(&sun), sizeof sun, false);
}

Result<UniqueFd> listenOnInet(const SocketAddress& address) {
  return bindAndListen(detail::familyOf(address), IPPROTO_TCP,
                       reinterpret_cast<const sockaddr*>(address.storage.data()),
                       static_cast<socklen_t>(address.length), true);
}

Result<SocketAddress> listeningAddress(int fd) { return detail::socketLocalAddress(fd); }

Result<AcceptedConnection> acceptConnection(int listening_fd) {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  int fd;
  for (;;) {
    length = sizeof peer;
    fd = ::accept4(listening_fd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (fd >= 0) break;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      AcceptedConnection none;
      none.would_block = true;
      return none;
    }
    // Linux hands over network errors already pending on the connection it
    // took; that connection is gone, and the next one may be waiting.
    if (errno == ENOPROTOOPT || errno == ENETDOWN || errno == EHOSTDOWN || errno == ENONET ||
        errno == EHOSTUNREACH || errno == ENETUNREACH) {
      continue;
    }
    return fail(lastError());
  }
  AcceptedConnection out;
  out.socket = UniqueFd(fd);
  if (peer.ss_family == AF_UNIX) {
    out.family = PeerFamily::Unix;
  } else if (peer.ss_family == AF_INET && length >= sizeof(sockaddr_in)) {
    out.family = PeerFamily::Ipv4;
    std::memcpy(out.address.data(), &reinterpret_cast<const sockaddr_in*>(&peer)->sin_addr, 4);
  } else if (peer.ss_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
    out.family = PeerFamily::Ipv6;
    std::memcpy(out.address.data(), &reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_addr, 16);
  }
  return out;
}

Result<void> setTcpNoDelay(int fd) { return setFlag(fd, IPPROTO_TCP, TCP_NODELAY); }
Result<void> setKeepAlive(int fd) { return setFlag(fd, SOL_SOCKET, SO_KEEPALIVE); }

}  // namespace quellsig::platform
