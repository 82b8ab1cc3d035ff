// ByteWriter: appends big-endian integers and byte strings to a wire-format
// buffer, for the DNS and milter encoders.
//
// Two targets: a caller's fixed buffer (writing past its end fails with
// NoSpaceLeft) or the end of a caller's growing byte vector (growth that
// cannot be had fails with OutOfMemory). The target is borrowed and must
// outlive the writer. Each write is all or nothing; the first failure makes
// the writer refuse every later write, so a sequence of writes can be checked
// once with status(). abandon() takes back every byte this writer appended,
// leaving the target as it was found.
//
// Length prefixes: beginU16Prefix/beginU32Prefix reserve the prefix and
// endPrefix fills in the number of bytes written since; a length that does not
// fit the prefix fails with PacketTooLarge. Single-threaded; nothing throws.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "platform/error.h"

namespace quellsig {

class ByteWriter {
 public:
  explicit ByteWriter(std::span<std::uint8_t> fixed) : fixed_(fixed) {}
  explicit ByteWriter(std::vector<std::uint8_t>& grow) : grow_(&grow), start_(grow.size()) {}
  ByteWriter(const ByteWriter&) = delete;
  ByteWriter& operator=(const ByteWriter&) = delete;

  bool writeU8(std::uint8_t v) { return writeBigEndian<1>(v); }
  bool writeU16(std::uint16_t v) { return writeBigEndian<2>(v); }
  bool writeU32(std::uint32_t v) { return writeBigEndian<4>(v); }
  bool writeBytes(std::span<const std::uint8_t> bytes) {
    if (!reserve(bytes.size())) return false;
    if (grow_ != nullptr) {
      grow_->insert(grow_->end(), bytes.begin(), bytes.end());  // room is there: no throw
    } else if (!bytes.empty()) {
      std::memcpy(fixed_.data() + written_, bytes.data(), bytes.size());
    }
    written_ += bytes.size();
    return true;
  }
  bool writeText(std::string_view text) {
    return writeBytes({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  }

  // Makes room for n more bytes at once, so that the writes that follow
  // cannot fail for want of memory.
  bool reserve(std::size_t n) {
    if (failed_) return false;
    if (grow_ == nullptr) return fixed_.size() - written_ >= n || refuse(Error::NoSpaceLeft);
    return grow_->capacity() - grow_->size() >= n || grow(n);
  }

  struct Prefix {
    std::size_t at = 0;  // position of the prefix in this writer's output
    std::size_t width = 0;
  };
  bool beginU16Prefix(Prefix& p) {
    p = {written_, 2};
    return writeU16(0);
  }
  bool beginU32Prefix(Prefix& p) {
    p = {written_, 4};
    return writeU32(0);
  }
  bool endPrefix(const Prefix& p);

  // Bytes this writer has appended.
  std::size_t written() const { return written_; }
  Result<void> status() const {
    if (failed_) return fail(error_);
    return {};
  }
  void abandon();

 private:
  template <std::size_t Width>
  bool writeBigEndian(std::uint64_t v) {
    std::array<std::uint8_t, Width> bytes;
    for (std::size_t i = Width; i-- > 0; v >>= 8) bytes[i] = static_cast<std::uint8_t>(v & 0xff);
    return writeBytes(bytes);
  }
  bool grow(std::size_t n);
  bool refuse(Error e);

  std::span<std::uint8_t> fixed_;
  std::vector<std::uint8_t>* grow_ = nullptr;
  std::size_t start_ = 0;
  std::size_t written_ = 0;
  bool failed_ = false;
  Error error_ = Error::Unexpected;
};

}  // namespace quellsig
