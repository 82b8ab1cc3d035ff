// BlockingStream: sole owner of one connected, close-on-exec stream socket,
// TCP or UNIX-domain, used with blocking reads and writes.
// StreamListener: a listening TCP or UNIX-domain socket handing out
// BlockingStreams.
//
// These serve the tools that talk to the filter from outside (the MTA side
// of the milter protocol in tests and benchmarks, a minimal filter, SMTP
// submission to a test MTA); the daemon's own sockets are non-blocking and
// served by its event loop.
//
// connect* waits at most connect_timeout_ms (0: one second) and fails with
// TimedOut, ConnectionRefused, FileNotFound (no socket at the path),
// PathTooLong (a path that does not fit a socket address) or the system's
// error. setTimeouts bounds every later read and write (0: none); a limit
// that passes fails with TimedOut, a peer that closes before readExact is
// done with EndOfStream, readSome reports end of stream as 0. Writes never
// raise SIGPIPE: a peer that has gone gives BrokenPipe or ConnectionAborted.
//
// listenLocal binds a path where nothing exists yet (else AddressInUse) and
// removes it when the listener is destroyed. accept returns std::nullopt when
// nothing arrived within timeout_ms. One thread at a time per object; the
// objects are move-only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/fd.h"
#include "platform/inet_address.h"

namespace quellsig::platform {

class BlockingStream {
 public:
  BlockingStream() = default;  // no socket
  static Result<BlockingStream> connectInet(const SocketAddress& to,
                                            std::uint32_t connect_timeout_ms);
  static Result<BlockingStream> connectLocal(std::string_view path,
                                             std::uint32_t connect_timeout_ms);

  Result<void> setTimeouts(std::uint32_t ms);
  // TCP_NODELAY on a TCP socket, so that a small write following an
  // unacknowledged one is not held back; nothing on a UNIX-domain socket.
  Result<void> setNoDelay();
  Result<void> writeAll(std::span<const std::uint8_t> bytes);
  Result<void> writeAll(std::string_view text) {
    return writeAll({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  }
  Result<std::size_t> readSome(std::span<std::uint8_t> out);
  Result<void> readExact(std::span<std::uint8_t> out);
  bool valid() const { return fd_.valid(); }

 private:
  friend class StreamListener;
  BlockingStream(UniqueFd fd, bool tcp) : fd_(std::move(fd)), tcp_(tcp) {}
  UniqueFd fd_;
  bool tcp_ = false;
};

class StreamListener {
 public:
  StreamListener(StreamListener&& o) noexcept;
  StreamListener& operator=(StreamListener&& o) noexcept;
  StreamListener(const StreamListener&) = delete;
  StreamListener& operator=(const StreamListener&) = delete;
  ~StreamListener();

  // SO_REUSEADDR; port 0 picks a free port.
  static Result<StreamListener> listenInet(const SocketAddress& local);
  static Result<StreamListener> listenLocal(std::string_view path);
  Result<std::optional<BlockingStream>> accept(std::uint32_t timeout_ms);
  // The bound address of an inet listener.
  Result<SocketAddress> localAddress() const;

 private:
  StreamListener(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}
  UniqueFd fd_;
  std::string path_;  // UNIX-domain listeners: removed on destruction
};

}  // namespace quellsig::platform
