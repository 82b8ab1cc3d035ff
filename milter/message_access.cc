#include "milter/message_access.h"

#include <new>

#include "platform/byte_writer.h"

namespace quellsig {

Result<Message> messageOf(const MilterConnection& c) {
  try {
    Message m;
    m.headers.reserve(c.headers.size());
    for (const StoredHeaderField& f : c.headers) {
      m.headers.push_back({f.name, f.value, f.leading_space});
    }
    m.body = c.body;
    return m;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

std::optional<std::string_view> envelopeAddress(const MilterConnection& c) {
  if (!c.sender) return std::nullopt;
  std::string_view address = *c.sender;
  if (address.starts_with('<')) address.remove_prefix(1);
  if (address.ends_with('>')) address.remove_suffix(1);
  return address;
}

Result<std::vector<std::uint8_t>> insertHeaderPacket(const MilterConnection& c,
                                                     std::string_view name,
                                                     std::string_view value) {
  std::vector<std::uint8_t> packet;
  ByteWriter w(packet);
  if (auto encoded = encodeInsertHeader(
          w, name, value, (c.protocol_flags & kProtocolHeaderLeadingSpace) != 0);
      !encoded) {
    return fail(encoded.error());
  }
  return packet;
}

}  // namespace quellsig
