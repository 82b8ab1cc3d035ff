// A local datagram socket that receives, as a syslog daemon's does.
//
// bindDatagramSocket creates a socket bound to path (which must not exist);
// the caller owns the descriptor and removes the path. receiveDatagram waits
// at most timeout_ms for one datagram and returns its bytes, or nullopt when
// none arrived in time; errors are named. Used by tests that read the
// logger's real records. Any thread may call these on its own socket.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/fd.h"

namespace quellsig::testutil {

Result<platform::UniqueFd> bindDatagramSocket(std::string_view path);
Result<std::optional<std::string>> receiveDatagram(int fd, int timeout_ms);

}  // namespace quellsig::testutil
