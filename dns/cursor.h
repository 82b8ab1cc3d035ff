// ByteCursor: a bounds-checked reader over a borrowed byte span, positioned
// at an offset. Every read either succeeds and advances, or returns false and
// leaves the position where it was; nothing reads past the span. The span
// must outlive the cursor. Single-threaded value type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace quellsig {

class ByteCursor {
 public:
  explicit ByteCursor(std::span<const std::uint8_t> data, std::size_t offset = 0)
      : data_(data), pos_(offset) {}

  std::size_t offset() const { return pos_; }
  std::size_t size() const { return data_.size(); }
  bool atEnd() const { return pos_ >= data_.size(); }
  std::size_t remaining() const { return atEnd() ? 0 : data_.size() - pos_; }

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
    if (remaining() < 2) return false;
    out = static_cast<std::uint16_t>((data_[pos_] << 8) | data_[pos_ + 1]);
    pos_ += 2;
    return true;
  }
  bool readU32(std::uint32_t& out) {
    if (remaining() < 4) return false;
    out = (std::uint32_t{data_[pos_]} << 24) | (std::uint32_t{data_[pos_ + 1]} << 16) |
          (std::uint32_t{data_[pos_ + 2]} << 8) | std::uint32_t{data_[pos_ + 3]};
    pos_ += 4;
    return true;
  }
  // Borrows the next n bytes.
  bool readBytes(std::size_t n, std::span<const std::uint8_t>& out) {
    if (n > remaining()) return false;
    out = data_.subspan(pos_, n);
    pos_ += n;
    return true;
  }

 private:
  std::span<const std::uint8_t> data_;
  std::size_t pos_;
};

}  // namespace quellsig
