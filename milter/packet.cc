#include "milter/packet.h"

#include <algorithm>

#include "platform/byte_cursor.h"

namespace quellsig {
namespace {

constexpr std::string_view kAuthResultsName = "Authentication-Results";

}  // namespace

Result<std::optional<MilterPacket>> decodePacket(ReadBuffer& buffer) {
  ByteCursor c(buffer.bytes);
  if (!buffer.length_cached) {
    if (!c.readU32(buffer.cached_length)) return std::nullopt;
    buffer.length_cached = true;
  } else {
    c.skip(kPacketLengthSize);
  }
  const std::uint32_t length = buffer.cached_length;
  if (length == 0 || length > kMaxPacketLength) return fail(Error::PacketTooLarge);
  MilterPacket packet;
  ByteCursor body(std::span<const std::uint8_t>{});
  if (!c.readSub(length, body)) return std::nullopt;
  body.readU8(packet.command);
  packet.payload = body.rest();
  return packet;
}

void consumePacket(ReadBuffer& buffer) {
  ByteCursor c(buffer.bytes);
  c.skip(kPacketLengthSize + std::size_t{buffer.cached_length});
  const std::span<const std::uint8_t> rest = c.rest();
  std::copy(rest.begin(), rest.end(), buffer.bytes.begin());
  buffer.bytes.resize(rest.size());
  // One large packet would otherwise pin its storage for the connection's
  // whole life.
  if (buffer.bytes.empty() && buffer.bytes.capacity() > kReadBufferKeptCapacity) {
    std::vector<std::uint8_t>().swap(buffer.bytes);
  }
  buffer.cached_length = 0;
  buffer.length_cached = false;
}

std::array<std::uint8_t, 5> encodeReply(std::uint8_t reply) {
  std::array<std::uint8_t, 5> out{};
  ByteWriter w(out);
  w.writeU32(1);
  w.writeU8(reply);
  return out;
}

std::array<std::uint8_t, 17> encodeNegotiation(std::uint32_t actions,
                                               std::uint32_t protocol_flags) {
  std::array<std::uint8_t, 17> out{};
  ByteWriter w(out);
  w.writeU32(13);
  w.writeU8(kReplyNegotiate);
  w.writeU32(kMilterVersion);
  w.writeU32(actions);
  w.writeU32(protocol_flags);
  return out;
}

Result<void> encodeInsertHeader(ByteWriter& out, std::string_view name, std::string_view value,
                                bool leading_space) {
  ByteWriter::Prefix prefix;
  out.reserve(kPacketLengthSize + 1 + 4 + name.size() + 2 + value.size() + 1);
  out.beginU32Prefix(prefix);
  out.writeU8(kReplyInsertHeader);
  out.writeU32(0);  // index: above the first field
  out.writeText(name);
  out.writeU8(0);
  if (leading_space) out.writeU8(' ');
  for (;;) {
    const std::size_t crlf = value.find("\r\n");
    if (crlf == std::string_view::npos) break;
    out.writeText(value.substr(0, crlf));
    out.writeU8('\n');
    value.remove_prefix(crlf + 2);
  }
  out.writeText(value);
  out.writeU8(0);
  out.endPrefix(prefix);
  return out.status();
}

Result<void> encodeDeleteHeader(ByteWriter& out, std::uint32_t occurrence) {
  ByteWriter::Prefix prefix;
  out.beginU32Prefix(prefix);
  out.writeU8(kReplyChangeHeader);
  out.writeU32(occurrence);
  out.writeText(kAuthResultsName);
  out.writeU8(0);
  out.writeU8(0);  // empty value: the field is deleted
  out.endPrefix(prefix);
  return out.status();
}

}  // namespace quellsig
