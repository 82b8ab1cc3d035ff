// ByteCursor: a bounds-checked reader over a borrowed byte span, for the wire
// formats (DNS messages, milter packets).
//
// Every read either succeeds and advances, or returns false and leaves the
// position where it was; nothing reads past the span. Integers are
// big-endian. What a read hands out (spans, string views, sub-cursors)
// borrows from the same span, which must outlive all of them. The position is
// counted from the start of the span, so a copy of a cursor can seek within
// the whole message (DNS compression pointers). Single-threaded value type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace quellsig {

class ByteCursor {
 public:
  explicit ByteCursor(std::span<const std::uint8_t> data, std::size_t offset = 0)
      : data_(data), pos_(offset > data.size() ? data.size() : offset) {}
  explicit ByteCursor(std::string_view text)
      : ByteCursor(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())) {}

  std::size_t offset() const { return pos_; }
  std::size_t size() const { return data_.size(); }
  bool atEnd() const { return pos_ == data_.size(); }
  std::size_t remaining() const { return data_.size() - pos_; }
  // The unread bytes, borrowed; the position does not move.
  std::span<const std::uint8_t> rest() const { return data_.subspan(pos_); }

  bool seek(std::size_t offset) {
    if (offset > data_.size()) return false;
    pos_ = offset;
    return true;
  }
  bool skip(std::size_t n) {
    if (n > remaining()) return false;
    pos_ += n;
    return true;
  }

  bool peekU8(std::uint8_t& out) const {
    if (remaining() < 1) return false;
    out = data_[pos_];
    return true;
  }
  bool readU8(std::uint8_t& out) {
    if (!peekU8(out)) return false;
    ++pos_;
    return true;
  }
  bool readU16(std::uint16_t& out) {
    std::uint64_t v;
    if (!readBigEndian(2, v)) return false;
    out = static_cast<std::uint16_t>(v);
    return true;
  }
  bool readU32(std::uint32_t& out) {
    std::uint64_t v;
    if (!readBigEndian(4, v)) return false;
    out = static_cast<std::uint32_t>(v);
    return true;
  }

  // Borrows the next n bytes.
  bool readBytes(std::size_t n, std::span<const std::uint8_t>& out) {
    if (n > remaining()) return false;
    out = data_.subspan(pos_, n);
    pos_ += n;
    return true;
  }
  bool readText(std::size_t n, std::string_view& out) {
    std::span<const std::uint8_t> bytes;
    if (!readBytes(n, bytes)) return false;
    out = asText(bytes);
    return true;
  }
  // A cursor over the next n bytes, which this one then skips.
  bool readSub(std::size_t n, ByteCursor& out) {
    std::span<const std::uint8_t> bytes;
    if (!readBytes(n, bytes)) return false;
    out = ByteCursor(bytes);
    return true;
  }
  // A one- or two-byte length, then that many bytes as a sub-cursor. Fails
  // without moving when the bytes announced are not all there.
  bool readU8LengthPrefixed(ByteCursor& out) {
    ByteCursor probe = *this;
    std::uint8_t n;
    if (!probe.readU8(n) || !probe.readSub(n, out)) return false;
    *this = probe;
    return true;
  }
  bool readU16LengthPrefixed(ByteCursor& out) {
    ByteCursor probe = *this;
    std::uint16_t n;
    if (!probe.readU16(n) || !probe.readSub(n, out)) return false;
    *this = probe;
    return true;
  }

  // The text before the next NUL; the NUL is consumed. Fails when no NUL
  // follows.
  bool readCString(std::string_view& out) {
    const std::string_view tail = asText(rest());
    const std::size_t nul = tail.find('\0');
    if (nul == std::string_view::npos) return false;
    out = tail.substr(0, nul);
    pos_ += nul + 1;
    return true;
  }
  // The text before the next NUL, or everything left when there is none;
  // a NUL found is consumed. Never fails.
  std::string_view readCStringOrRest() {
    std::string_view out;
    if (readCString(out)) return out;
    out = asText(rest());
    pos_ = data_.size();
    return out;
  }

  static std::string_view asText(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
  }

 private:
  bool readBigEndian(std::size_t width, std::uint64_t& out) {
    if (remaining() < width) return false;
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < width; ++i) v = (v << 8) | data_[pos_ + i];
    pos_ += width;
    out = v;
    return true;
  }

  std::span<const std::uint8_t> data_;
  std::size_t pos_;
};

}  // namespace quellsig
