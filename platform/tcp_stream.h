// TcpStream: sole owner of one connected, close-on-exec TCP socket.
// TcpListener: a listening TCP socket that hands out accepted TcpStreams.
//
// Client use: open(), setTimeouts() (SO_RCVTIMEO and SO_SNDTIMEO, 0 = none),
// then connect() with a connection-establishment limit: the connect runs
// non-blocking and is waited for at most that long (a limit of 0 is raised to
// one second), failing with TimedOut when it passes. writeAll() and
// readExact() loop until every byte has moved; a timeout fails with TimedOut,
// a peer that closes before the end with EndOfStream. One thread at a time
// per object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "platform/error.h"
#include "platform/fd.h"
#include "platform/inet_address.h"

namespace quellsig::platform {

class TcpStream {
 public:
  static Result<TcpStream> open(const SocketAddress& family_of);

  Result<void> setTimeouts(std::uint32_t ms);
  Result<void> connect(const SocketAddress& to, std::uint32_t connect_timeout_ms);
  Result<void> writeAll(std::span<const std::uint8_t> bytes);
  Result<void> readExact(std::span<std::uint8_t> out);
  // Reads what is there (at least one byte) or reports end of stream as 0.
  Result<std::size_t> readSome(std::span<std::uint8_t> out);
  // Hands the socket to the caller, who then owns it; the stream is empty.
  UniqueFd releaseFd() && { return std::move(fd_); }

 private:
  friend class TcpListener;
  explicit TcpStream(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
};

class TcpListener {
 public:
  // SO_REUSEADDR, backlog 16; port 0 picks a free port.
  static Result<TcpListener> listenOn(const SocketAddress& local);
  // std::nullopt when no connection arrived within timeout_ms.
  Result<std::optional<TcpStream>> accept(std::uint32_t timeout_ms);
  Result<SocketAddress> localAddress() const;

 private:
  explicit TcpListener(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
};

}  // namespace quellsig::platform
