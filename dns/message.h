// The DNS wire codec: the TXT query, the liveness probe, and reply decoding.
//
// encodeQuery builds a TXT/IN question with recursion desired and one EDNS0
// OPT record advertising a 1232-byte UDP payload; the name goes on the wire
// with its letter case unchanged. parseResponse decodes a whole reply (a UDP
// datagram, or a TCP message without its length prefix) into an owned
// DnsResponse: only the ID, RCODE, TC bit and the answer section are read,
// and a reply that ends inside the answers yields the records before that
// point. Results own their bytes; the message buffer may be freed right
// after. Errors are the named codec errors or OutOfMemory, and nothing is
// left allocated on failure. Pure functions; any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"

namespace quellsig {

inline constexpr std::uint16_t kDnsTypeCname = 5;
inline constexpr std::uint16_t kDnsTypePtr = 12;
inline constexpr std::uint16_t kDnsTypeMx = 15;
inline constexpr std::uint16_t kDnsTypeTxt = 16;
inline constexpr std::uint16_t kEdnsUdpPayloadSize = 1232;
inline constexpr std::size_t kDnsHeaderSize = 12;
inline constexpr std::size_t kMaxDnsNameLength = 253;

struct DnsAnswerRecord {
  std::string owner;  // dotted, no trailing dot
  std::string data;   // TXT: strings joined; CNAME/PTR/MX: a name; else raw RDATA
  std::uint32_t ttl = 0;
  std::uint16_t type = 0;

  bool operator==(const DnsAnswerRecord&) const = default;
};

struct DnsResponse {
  std::uint16_t id = 0;
  std::uint8_t rcode = 0;  // 0..15
  bool truncated = false;
  std::vector<DnsAnswerRecord> records;
};

Result<std::vector<std::uint8_t>> encodeQuery(std::string_view name, std::uint16_t id);
Result<DnsResponse> parseResponse(std::span<const std::uint8_t> message);

// The name stored at offset, following compression pointers (at most 10).
Result<std::string> readName(std::span<const std::uint8_t> message, std::size_t offset);
// The offset just past the name at offset; a pointer ends the name.
Result<std::size_t> skipName(std::span<const std::uint8_t> message, std::size_t offset);

// The health monitor's fixed probe: ID 1, RD, question "." NS IN, no OPT.
inline constexpr std::array<std::uint8_t, 17> kProbeQuery = {0x00, 0x01, 0x01, 0x00, 0x00, 0x01,
                                                             0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                             0x00, 0x00, 0x02, 0x00, 0x01};

// The RCODE of a reply from the low bits of its fourth byte; the caller has
// checked that the reply holds a whole header.
std::uint8_t replyRcode(std::span<const std::uint8_t> reply);

}  // namespace quellsig
