// The peer label of an accepted connection, as its log records show it.
//
// IPv4: the four bytes in decimal joined by "."; IPv6: the RFC 5952 text
// form (lower-case hexadecimal without leading zeros, the longest run of two
// or more zero groups, the first of equal runs, written "::", and an
// IPv4-mapped address as "::ffff:" and its dotted quad); UNIX-domain: "local".
// A peer of any other family is "unknown". Every label fits
// kMaxPeerLabelLength. Pure; any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/listen_socket.h"

namespace quellsig {

std::string peerLabel(platform::PeerFamily family, const std::array<std::uint8_t, 16>& address);

}  // namespace quellsig
