// Non-blocking reads and writes on a connected stream socket, for the milter
// connections a worker serves.
//
// receiveSome and sendSome never block: a socket with nothing to read, or no
// room to write, gives IoCount{0, would_block = true}, which is a value, not
// an error. receiveSome reporting 0 bytes without would_block is end of
// stream. sendSome never raises SIGPIPE: a peer that has gone gives
// BrokenPipe (or ConnectionAborted). Other failures are named errors. Any
// thread may call these on a socket it alone uses.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/error.h"
#include "platform/fd.h"

namespace quellsig::platform {

struct IoCount {
  std::size_t bytes = 0;
  bool would_block = false;
};

Result<IoCount> receiveSome(int fd, std::span<std::uint8_t> out);
Result<IoCount> sendSome(int fd, std::span<const std::uint8_t> bytes);

Result<void> makeNonBlocking(int fd);
// SO_SNDBUF; the system may round the size up.
Result<void> setSendBufferSize(int fd, std::uint32_t bytes);
// A connected pair of close-on-exec, non-blocking UNIX-domain stream sockets.
Result<std::array<UniqueFd, 2>> streamSocketPair();

}  // namespace quellsig::platform
