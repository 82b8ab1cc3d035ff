// The milter wire format (protocol version 6, filter side): framing of the
// packets read from the MTA and encoding of the packets sent back.
//
// A packet is a 4-byte big-endian length, then that many bytes: the command
// (or reply) byte and its payload. decodePacket looks at the front of a
// connection's ReadBuffer without consuming it; the packet it returns borrows
// the buffer's bytes and is valid until consumePacket or the next append.
// "Need more bytes" is a value (std::nullopt); a length of 0 or above
// kMaxPacketLength is PacketTooLarge. The length is decoded once per packet
// and cached in the buffer, so a packet arriving byte by byte is not decoded
// again at every read.
//
// The encoders make whole packets, length included. The header-change
// encoders append to a caller's writer and fail only as the writer does
// (OutOfMemory on a growing target, NoSpaceLeft on a fixed one); the writer
// then holds a partial packet, which the caller abandons. Pure functions over
// their arguments; any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "platform/byte_writer.h"
#include "platform/error.h"

namespace quellsig {

// Command byte plus payload, in both directions.
inline constexpr std::uint32_t kMaxPacketLength = 1024 * 1024;
inline constexpr std::size_t kPacketLengthSize = 4;
// Storage an emptied read buffer keeps; more is released.
inline constexpr std::size_t kReadBufferKeptCapacity = 64 * 1024;

inline constexpr std::uint32_t kMilterVersion = 6;
inline constexpr std::uint32_t kActionAddHeaders = 0x01;     // SMFIF_ADDHDRS
inline constexpr std::uint32_t kActionChangeHeaders = 0x10;  // SMFIF_CHGHDRS
inline constexpr std::uint32_t kActionsWanted = kActionAddHeaders | kActionChangeHeaders;
inline constexpr std::uint32_t kProtocolHeaderLeadingSpace = 0x100000;  // SMFIP_HDR_LEADSPC
inline constexpr std::uint32_t kProtocolFlagsWanted = kProtocolHeaderLeadingSpace;

// Replies the filter sends.
inline constexpr std::uint8_t kReplyNegotiate = 'O';
inline constexpr std::uint8_t kReplyContinue = 'c';
inline constexpr std::uint8_t kReplyAccept = 'a';
inline constexpr std::uint8_t kReplyTempfail = 't';
inline constexpr std::uint8_t kReplyInsertHeader = 'i';
inline constexpr std::uint8_t kReplyChangeHeader = 'm';

// Received bytes not yet consumed, with the cached length of the packet at
// the front.
struct ReadBuffer {
  std::vector<std::uint8_t> bytes;
  std::uint32_t cached_length = 0;
  bool length_cached = false;
};

// A decoded packet, borrowing the read buffer.
struct MilterPacket {
  std::uint8_t command = 0;
  std::span<const std::uint8_t> payload;
};

Result<std::optional<MilterPacket>> decodePacket(ReadBuffer& buffer);
// Removes the packet decodePacket last returned. The storage stays, unless
// the buffer is left empty with more than kReadBufferKeptCapacity.
void consumePacket(ReadBuffer& buffer);

// The 5 bytes 00 00 00 01 reply.
std::array<std::uint8_t, 5> encodeReply(std::uint8_t reply);
// The 17-byte answer to 'O': version 6, then the two words given.
std::array<std::uint8_t, 17> encodeNegotiation(std::uint32_t actions, std::uint32_t protocol_flags);
// 'i' at index 0. The value goes out with each CR LF turned into LF, as the
// MTA writes its own line ends; leading_space puts one space before it, for
// connections that negotiated kProtocolHeaderLeadingSpace.
Result<void> encodeInsertHeader(ByteWriter& out, std::string_view name, std::string_view value,
                                bool leading_space);
// 'm' deleting the occurrence-th Authentication-Results field (counted from
// 1 among the fields of that name).
Result<void> encodeDeleteHeader(ByteWriter& out, std::uint32_t occurrence);

}  // namespace quellsig
