// Helpers shared by the platform's socket wrappers; platform code only.
// Timeouts are milliseconds; 0 clears the timeout (the call may then block).
#pragma once

#include <cstdint>

#include "platform/error.h"
#include "platform/inet_address.h"

namespace quellsig::platform::detail {

int familyOf(const SocketAddress& a);
// option is SO_RCVTIMEO or SO_SNDTIMEO.
Result<void> setSocketTimeout(int fd, int option, std::uint32_t ms);
Result<SocketAddress> socketLocalAddress(int fd);
// A wait in milliseconds as poll takes it: above INT_MAX it would turn
// negative, which poll reads as "wait forever".
int pollTimeout(std::uint64_t ms);
Result<void> setNonBlocking(int fd, bool on);

}  // namespace quellsig::platform::detail
