#include "dns/message.h"

#include <new>

#include "dns/cursor.h"

namespace quellsig {
namespace {

constexpr std::size_t kMaxLabelLength = 63;
constexpr std::size_t kMaxLabels = 127;
constexpr unsigned kMaxPointers = 10;

void putU16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v & 0xff));
}

Result<void> appendQname(std::vector<std::uint8_t>& out, std::string_view name) {
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
      out.push_back(static_cast<std::uint8_t>(label.size()));
      out.insert(out.end(), label.begin(), label.end());
      if (dot == std::string_view::npos) break;
      name.remove_prefix(dot + 1);
    }
  }
  out.push_back(0);
  return {};
}

// TXT RDATA: every character-string joined; a string running past the RDATA
// ends the walk with what was joined so far.
std::string joinCharacterStrings(std::span<const std::uint8_t> rdata) {
  std::string out;
  ByteCursor c(rdata);
  std::uint8_t n;
  std::span<const std::uint8_t> piece;
  while (c.readU8(n) && c.readBytes(n, piece)) out.append(piece.begin(), piece.end());
  return out;
}

Result<DnsResponse> parse(std::span<const std::uint8_t> message) {
  if (message.size() < kDnsHeaderSize) return fail(Error::PacketTooShort);
  ByteCursor c(message);
  DnsResponse r;
  std::uint16_t flags, qdcount, ancount;
  c.readU16(r.id);
  c.readU16(flags);
  c.readU16(qdcount);
  c.readU16(ancount);
  r.rcode = static_cast<std::uint8_t>(flags & 0x0f);
  r.truncated = (flags & 0x0200) != 0;

  std::size_t off = kDnsHeaderSize;
  for (unsigned q = 0; q < qdcount; ++q) {
    auto end = skipName(message, off);
    if (!end) return fail(end.error());
    off = *end + 4;
    if (off > message.size()) return fail(Error::PacketTooShort);
  }

  while (off < message.size() && r.records.size() < ancount) {
    auto owner = readName(message, off);
    if (!owner) return fail(owner.error());
    auto end = skipName(message, off);
    if (!end) return fail(end.error());

    ByteCursor rr(message, *end);
    std::uint16_t type, klass, rdlength;
    std::uint32_t ttl;
    std::span<const std::uint8_t> rdata;
    if (!rr.readU16(type) || !rr.readU16(klass) || !rr.readU32(ttl) || !rr.readU16(rdlength)) {
      break;
    }
    const std::size_t rdata_start = rr.offset();
    if (!rr.readBytes(rdlength, rdata)) break;

    DnsAnswerRecord rec;
    rec.owner = std::move(*owner);
    rec.ttl = ttl;
    rec.type = type;
    switch (type) {
      case kDnsTypeCname:
      case kDnsTypePtr: {
        auto name = readName(message, rdata_start);
        if (!name) return fail(name.error());
        rec.data = std::move(*name);
        break;
      }
      case kDnsTypeMx: {
        if (rdlength < 3) return fail(Error::PacketTooShort);
        auto name = readName(message, rdata_start + 2);
        if (!name) return fail(name.error());
        rec.data = std::move(*name);
        break;
      }
      case kDnsTypeTxt:
        rec.data = joinCharacterStrings(rdata);
        break;
      default:
        rec.data.assign(rdata.begin(), rdata.end());
        break;
    }
    r.records.push_back(std::move(rec));
    off = rr.offset();
  }
  return r;
}

}  // namespace

Result<std::vector<std::uint8_t>> encodeQuery(std::string_view name, std::uint16_t id) {
  try {
    std::vector<std::uint8_t> out;
    out.reserve(kDnsHeaderSize + name.size() + 2 + 4 + 11);
    putU16(out, id);
    putU16(out, 0x0100);  // RD
    putU16(out, 1);       // QDCOUNT
    putU16(out, 0);
    putU16(out, 0);
    putU16(out, 1);  // ARCOUNT: the OPT record
    if (auto r = appendQname(out, name); !r) return fail(r.error());
    putU16(out, kDnsTypeTxt);
    putU16(out, 1);    // IN
    out.push_back(0);  // OPT owner: root
    putU16(out, 41);
    putU16(out, kEdnsUdpPayloadSize);
    putU16(out, 0);  // extended RCODE, version
    putU16(out, 0);  // DO clear
    putU16(out, 0);  // RDLENGTH
    return out;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<DnsResponse> parseResponse(std::span<const std::uint8_t> message) {
  try {
    return parse(message);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<std::string> readName(std::span<const std::uint8_t> message, std::size_t offset) {
  try {
    std::string out;
    std::size_t labels = 0;
    unsigned pointers = 0;
    ByteCursor c(message);
    if (!c.seek(offset)) return out;
    std::uint8_t b;
    // A name running to the end of the message is accepted as read so far.
    while (c.readU8(b) && b != 0) {
      if (b >= 0xc0) {
        std::uint8_t low;
        if (!c.readU8(low)) return fail(Error::PacketTooShort);
        std::size_t target = (std::size_t{b & 0x3fu} << 8) | low;
        if (target >= message.size()) return fail(Error::InvalidPointer);
        if (pointers == kMaxPointers) return fail(Error::TooManyPointers);
        ++pointers;
        c.seek(target);
        continue;
      }
      if (b >= 0x40) return fail(Error::LabelTooLong);
      if (++labels > kMaxLabels) return fail(Error::TooManyLabels);
      std::span<const std::uint8_t> label;
      if (!c.readBytes(b, label)) return fail(Error::PacketTooShort);
      if (!out.empty()) out.push_back('.');
      out.append(label.begin(), label.end());
      if (out.size() > kMaxDnsNameLength) return fail(Error::NameTooLong);
    }
    return out;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<std::size_t> skipName(std::span<const std::uint8_t> message, std::size_t offset) {
  ByteCursor c(message);
  if (!c.seek(offset)) return fail(Error::PacketTooShort);
  std::size_t labels = 0;
  for (;;) {
    std::uint8_t b;
    if (!c.readU8(b)) return fail(Error::PacketTooShort);
    if (b == 0) return c.offset();
    if (b >= 0xc0) {
      if (!c.skip(1)) return fail(Error::PacketTooShort);
      return c.offset();
    }
    if (b >= 0x40) return fail(Error::LabelTooLong);
    if (++labels > kMaxLabels) return fail(Error::TooManyLabels);
    if (!c.skip(b)) return fail(Error::PacketTooShort);
  }
}

}  // namespace quellsig
