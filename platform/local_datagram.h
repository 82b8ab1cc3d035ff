// A bound local (UNIX-domain) datagram socket for receiving records, such as
// the log records a test captures in place of the syslog socket.
//
// bindLocalDatagram() removes nothing: the path must not exist. receive waits
// at most timeout_ms and returns std::nullopt when nothing arrived. One
// thread at a time per descriptor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "platform/error.h"
#include "platform/fd.h"

namespace quellsig::platform {

Result<UniqueFd> bindLocalDatagram(std::string_view path);
Result<std::optional<std::size_t>> receiveLocalDatagram(int fd, std::span<std::uint8_t> buffer,
                                                        std::uint32_t timeout_ms);

}  // namespace quellsig::platform
