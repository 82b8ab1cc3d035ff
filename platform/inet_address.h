// SocketAddress: one IPv4 or IPv6 endpoint (address and port), held by value.
//
// parseIpLiteral accepts an IPv4 dotted quad or, failing that, an IPv6
// literal (no brackets, no zone names, no host names); anything else fails
// with InvalidArgument. The storage is opaque outside the platform layer:
// compare endpoints with sameEndpoint. Plain value type; any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace quellsig::platform {

struct SocketAddress {
  // Large enough for the system's IPv6 socket address.
  alignas(8) std::array<std::uint8_t, 32> storage{};
  std::uint32_t length = 0;
};

Result<SocketAddress> parseIpLiteral(std::string_view text, std::uint16_t port);

// An IPv6 address in one of the RFC 4291 text forms ("::" compression, an
// optional dotted IPv4 tail) of at most 45 characters; no zone index, no
// brackets, no host names.
bool isIpv6Literal(std::string_view text);

bool isIpv6(const SocketAddress& a);
std::uint16_t portOf(const SocketAddress& a);
SocketAddress withPort(const SocketAddress& a, std::uint16_t port);
// Same family, address and port.
bool sameEndpoint(const SocketAddress& a, const SocketAddress& b);
// "127.0.0.1:53" or "[::1]:53", for diagnostics.
std::string describe(const SocketAddress& a);

}  // namespace quellsig::platform
