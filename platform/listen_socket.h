// Listening stream sockets for the milter listeners, and accepting on them.
//
// listenOnUnixPath binds a UNIX-domain socket at path. The path must be at
// most kMaxUnixPathBytes bytes (longer: NameTooLong). A socket left at the
// path by an earlier run is removed first; any other file there is left as
// it is, and the bind then fails with AddressInUse, so a mistyped path never
// deletes a file. listenOnInet binds an IPv4 or IPv6 endpoint with
// SO_REUSEADDR and SO_REUSEPORT, so that several sockets (one per worker)
// can bind the same endpoint and the system spreads connections over them.
// Both make non-blocking, close-on-exec sockets with a backlog of
// kListenBacklog; a failure closes the socket and returns the system error by
// name (AddressInUse, AccessDenied, AddressNotAvailable, FileNotFound,
// NotDir, ReadOnlyFileSystem, SystemResources, ...). The caller owns the
// socket.
//
// removeUnixSocketFile unlinks path only when a socket sits there; errors
// are ignored.
//
// acceptConnection takes one connection from a listening socket, close-on-exec
// and blocking (the caller sets the mode it wants), retrying when
// interrupted. Nothing waiting is the value `would_block`, not an error.
// Failures: ConnectionAborted and ProtocolFailure concern only the connection
// that failed (the next one may be accepted at once); ProcessFdQuotaExceeded,
// SystemFdQuotaExceeded, SystemResources and OutOfMemory mean the process or
// system is short of descriptors or memory. The peer is described as its
// family and address bytes (IPv4 4 bytes, IPv6 16 bytes, network order).
//
// setTcpNoDelay and setKeepAlive set TCP_NODELAY and SO_KEEPALIVE to 1.
// Any thread may call these on sockets it alone uses.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/error.h"
#include "platform/fd.h"
#include "platform/inet_address.h"

namespace quellsig::platform {

inline constexpr std::size_t kMaxUnixPathBytes = 103;
inline constexpr int kListenBacklog = 256;

Result<UniqueFd> listenOnUnixPath(std::string_view path);
Result<UniqueFd> listenOnInet(const SocketAddress& address);
void removeUnixSocketFile(std::string_view path);
// The endpoint an inet listening socket is bound to (its port when 0 was
// asked for).
Result<SocketAddress> listeningAddress(int fd);

enum class PeerFamily : std::uint8_t { Unix, Ipv4, Ipv6, Other };

struct AcceptedConnection {
  bool would_block = false;
  UniqueFd socket;
  PeerFamily family = PeerFamily::Other;
  std::array<std::uint8_t, 16> address{};
};

Result<AcceptedConnection> acceptConnection(int listening_fd);

Result<void> setTcpNoDelay(int fd);
Result<void> setKeepAlive(int fd);

}  // namespace quellsig::platform
