// Helpers shared by the platform's socket wrappers; platform code only.
// Timeouts are milliseconds; 0 clears the timeout (the call may then block).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "platform/error.h"
#include "platform/fd.h"
#include "platform/inet_address.h"

namespace quellsig::platform::detail {

int familyOf(const SocketAddress& a);
// option is SO_RCVTIMEO or SO_SNDTIMEO.
Result<void> setSocketTimeout(int fd, int option, std::uint32_t ms);
Result<SocketAddress> socketLocalAddress(int fd);
Result<void> setNonBlocking(int fd, bool on);
// Waits for the poll events on fd; false when the time ran out.
Result<bool> waitFor(int fd, short events, std::uint32_t timeout_ms);
// Blocking I/O on a connected stream socket with SO_RCVTIMEO/SO_SNDTIMEO as
// the time limits: a limit that passes fails with TimedOut, a peer that
// closes before readExact is done with EndOfStream; readSome reports end of
// stream as 0. Writes never raise SIGPIPE.
Result<void> writeAll(int fd, std::span<const std::uint8_t> bytes);
Result<std::size_t> readSome(int fd, std::span<std::uint8_t> out);
Result<void> readExact(int fd, std::span<std::uint8_t> out);
// A bound, listening, close-on-exec stream socket of the family (with
// SO_REUSEADDR when reuse_address is set).
Result<UniqueFd> listenStream(int family, const void* address, std::uint32_t length, int backlog,
                              bool reuse_address);
// The next connection on a listening socket, or std::nullopt when none came
// within timeout_ms (or it was aborted before it could be taken).
Result<std::optional<UniqueFd>> acceptWithin(int fd, std::uint32_t timeout_ms);
// Finishes a connect() begun on a non-blocking socket: waits at most
// timeout_ms (0: one second) and makes the socket blocking again.
Result<void> connectWithin(int fd, const void* address, std::uint32_t length,
                           std::uint32_t timeout_ms);
// A wait in milliseconds as poll takes it: above INT_MAX it would turn
// negative, which poll reads as "wait forever".
int pollTimeout(std::uint64_t ms);

}  // namespace quellsig::platform::detail
