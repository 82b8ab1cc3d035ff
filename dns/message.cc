#include "dns/message.h"

#include <new>

#include "platform/byte_cursor.h"
#include "platform/byte_writer.h"

namespace quellsig {
namespace {

constexpr std::size_t kMaxLabelLength = 63;
constexpr std::size_t kMaxLabels = 127;
constexpr unsigned kMaxPointers = 10;
constexpr std::uint16_t kDnsTypeOpt = 41;
constexpr std::uint16_t kDnsClassIn = 1;

Result<void> writeQname(ByteWriter& out, std::string_view name) {
  if (name.size() > kMaxDnsNameLength) return fail(Error::NameTooLong);
  // One dot is trimmed at each end; "", "." and ".." all mean the root.
  if (!name.empty() && name.front() == '.') name.remove_prefix(1);
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  if (!name.empty()) {
    std::size_t labels = 0;
    for (;;) {
      std::size_t dot = name.find('.');
      std::string_view label = name.substr(0, dot);
      if (label.empty()) return fail(Error::EmptyLabel);
      if (label.size() > kMaxLabelLength) return fail(Error::LabelTooLong);
      if (++labels > kMaxLabels) return fail(Error::TooManyLabels);
      out.writeU8(static_cast<std::uint8_t>(label.size()));
      out.writeText(label);
      if (dot == std::string_view::npos) break;
      name.remove_prefix(dot + 1);
    }
  }
  out.writeU8(0);
  return out.status();
}

// The name starting at the cursor, following compression pointers; the
// cursor is a copy and the caller's does not move. A name running to the end
// of the message is accepted as read so far.
Result<std::string> nameAt(ByteCursor c) {
  std::string out;
  std::size_t labels = 0;
  unsigned pointers = 0;
  std::uint8_t b;
  while (c.readU8(b) && b != 0) {
    if (b >= 0xc0) {
      std::uint8_t low;
      if (!c.readU8(low)) return fail(Error::PacketTooShort);
      const std::size_t target = (std::size_t{b & 0x3fu} << 8) | low;
      if (target >= c.size()) return fail(Error::InvalidPointer);
      if (pointers == kMaxPointers) return fail(Error::TooManyPointers);
      ++pointers;
      c.seek(target);
      continue;
    }
    if (b >= 0x40) return fail(Error::LabelTooLong);
    if (++labels > kMaxLabels) return fail(Error::TooManyLabels);
    std::string_view label;
    if (!c.readText(b, label)) return fail(Error::PacketTooShort);
    if (!out.empty()) out.push_back('.');
    out.append(label);
    if (out.size() > kMaxDnsNameLength) return fail(Error::NameTooLong);
  }
  return out;
}

// Moves the cursor past the name at it; a pointer ends the name.
Result<void> passName(ByteCursor& c) {
  std::size_t labels = 0;
  for (;;) {
    std::uint8_t b;
    if (!c.readU8(b)) return fail(Error::PacketTooShort);
    if (b == 0) return {};
    if (b >= 0xc0) {
      if (!c.skip(1)) return fail(Error::PacketTooShort);
      return {};
    }
    if (b >= 0x40) return fail(Error::LabelTooLong);
    if (++labels > kMaxLabels) return fail(Error::TooManyLabels);
    if (!c.skip(b)) return fail(Error::PacketTooShort);
  }
}

// TXT RDATA: every character-string joined; a string running past the RDATA
// ends the walk with what was joined so far.
std::string joinCharacterStrings(ByteCursor rdata) {
  std::string out;
  ByteCursor piece(std::span<const std::uint8_t>{});
  while (rdata.readU8LengthPrefixed(piece)) out.append(ByteCursor::asText(piece.rest()));
  return out;
}

Result<DnsResponse> parse(std::span<const std::uint8_t> message) {
  ByteCursor c(message);
  DnsResponse r;
  std::uint16_t flags, qdcount, ancount, nscount, arcount;
  if (!c.readU16(r.id) || !c.readU16(flags) || !c.readU16(qdcount) || !c.readU16(ancount) ||
      !c.readU16(nscount) || !c.readU16(arcount)) {
    return fail(Error::PacketTooShort);
  }
  r.rcode = static_cast<std::uint8_t>(flags & 0x0f);
  r.truncated = (flags & 0x0200) != 0;

  for (unsigned q = 0; q < qdcount; ++q) {
    if (auto passed = passName(c); !passed) return fail(passed.error());
    if (!c.skip(4)) return fail(Error::PacketTooShort);  // QTYPE, QCLASS
  }

  while (!c.atEnd() && r.records.size() < ancount) {
    auto owner = nameAt(c);
    if (!owner) return fail(owner.error());
    if (auto passed = passName(c); !passed) return fail(passed.error());

    std::uint16_t type, klass, rdlength;
    std::uint32_t ttl;
    if (!c.readU16(type) || !c.readU16(klass) || !c.readU32(ttl) || !c.readU16(rdlength)) {
      break;
    }
    // Names inside RDATA may point anywhere in the message, so they are read
    // through a cursor over the whole message placed at the RDATA.
    const ByteCursor rdata_at = c;
    ByteCursor rdata(std::span<const std::uint8_t>{});
    if (!c.readSub(rdlength, rdata)) break;

    DnsAnswerRecord rec;
    rec.owner = std::move(*owner);
    rec.ttl = ttl;
    rec.type = type;
    switch (type) {
      case kDnsTypeCname:
      case kDnsTypePtr: {
        auto name = nameAt(rdata_at);
        if (!name) return fail(name.error());
        rec.data = std::move(*name);
        break;
      }
      case kDnsTypeMx: {
        if (rdlength < 3) return fail(Error::PacketTooShort);
        ByteCursor exchange = rdata_at;
        exchange.skip(2);  // preference
        auto name = nameAt(exchange);
        if (!name) return fail(name.error());
        rec.data = std::move(*name);
        break;
      }
      case kDnsTypeTxt:
        rec.data = joinCharacterStrings(rdata);
        break;
      default:
        rec.data = ByteCursor::asText(rdata.rest());
        break;
    }
    r.records.push_back(std::move(rec));
  }
  return r;
}

}  // namespace

Result<std::vector<std::uint8_t>> encodeQuery(std::string_view name, std::uint16_t id) {
  std::vector<std::uint8_t> out;
  ByteWriter w(out);
  w.reserve(kDnsHeaderSize + name.size() + 2 + 4 + 11);
  w.writeU16(id);
  w.writeU16(0x0100);  // RD
  w.writeU16(1);       // QDCOUNT
  w.writeU16(0);
  w.writeU16(0);
  w.writeU16(1);  // ARCOUNT: the OPT record
  if (auto r = writeQname(w, name); !r) return fail(r.error());
  w.writeU16(kDnsTypeTxt);
  w.writeU16(kDnsClassIn);
  w.writeU8(0);  // OPT owner: root
  w.writeU16(kDnsTypeOpt);
  w.writeU16(kEdnsUdpPayloadSize);
  w.writeU16(0);  // extended RCODE, version
  w.writeU16(0);  // DO clear
  w.writeU16(0);  // RDLENGTH
  if (auto r = w.status(); !r) return fail(r.error());
  return out;
}

Result<DnsResponse> parseResponse(std::span<const std::uint8_t> message) {
  try {
    return parse(message);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<std::string> readName(std::span<const std::uint8_t> message, std::size_t offset) {
  ByteCursor c(message);
  if (!c.seek(offset)) return std::string();
  try {
    return nameAt(c);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<std::size_t> skipName(std::span<const std::uint8_t> message, std::size_t offset) {
  ByteCursor c(message);
  if (!c.seek(offset)) return fail(Error::PacketTooShort);
  if (auto passed = passName(c); !passed) return fail(passed.error());
  return c.offset();
}

std::uint8_t replyRcode(std::span<const std::uint8_t> reply) {
  ByteCursor c(reply);
  std::uint8_t flags_low = 0;
  c.skip(3);
  c.readU8(flags_low);
  return flags_low & 0x0f;
}

}  // namespace quellsig
