#include "platform/byte_writer.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

namespace quellsig {

bool ByteWriter::refuse(Error e) {
  if (!failed_) error_ = e;
  failed_ = true;
  return false;
}

bool ByteWriter::reserve(std::size_t n) {
  if (failed_) return false;
  if (grow_ == nullptr) {
    return fixed_.size() - written_ >= n || refuse(Error::NoSpaceLeft);
  }
  try {
    if (grow_->capacity() - grow_->size() < n) {
      // Doubling keeps a run of small writes from reallocating each time.
      grow_->reserve(std::max(grow_->size() + n, 2 * grow_->capacity()));
    }
    return true;
  } catch (const std::bad_alloc&) {
    return refuse(Error::OutOfMemory);
  } catch (const std::length_error&) {
    return refuse(Error::OutOfMemory);
  }
}

std::uint8_t* ByteWriter::claim(std::size_t n) {
  if (!reserve(n)) return nullptr;
  std::uint8_t* p;
  if (grow_ == nullptr) {
    p = fixed_.data() + written_;
  } else {
    const std::size_t old = grow_->size();
    // Capacity is there: the resize does not allocate.
    grow_->resize(old + n);
    p = grow_->data() + old;
  }
  written_ += n;
  return p;
}

std::uint8_t* ByteWriter::at(std::size_t pos) {
  return grow_ == nullptr ? fixed_.data() + pos : grow_->data() + start_ + pos;
}

bool ByteWriter::writeBytes(std::span<const std::uint8_t> bytes) {
  std::uint8_t* p = claim(bytes.size());
  if (p == nullptr) return false;
  if (!bytes.empty()) std::memcpy(p, bytes.data(), bytes.size());
  return true;
}

bool ByteWriter::writeBigEndian(std::uint64_t v, std::size_t width) {
  std::uint8_t* p = claim(width);
  if (p == nullptr) return false;
  for (std::size_t i = width; i-- > 0; v >>= 8) p[i] = static_cast<std::uint8_t>(v & 0xff);
  return true;
}

bool ByteWriter::beginPrefix(Prefix& p, std::size_t width) {
  p.at = written_;
  p.width = width;
  return writeBigEndian(0, width);
}

bool ByteWriter::endPrefix(const Prefix& p) {
  if (failed_) return false;
  const std::size_t length = written_ - p.at - p.width;
  const std::uint64_t max = p.width >= 8 ? std::numeric_limits<std::uint64_t>::max()
                                         : (std::uint64_t{1} << (8 * p.width)) - 1;
  if (length > max) return refuse(Error::PacketTooLarge);
  std::uint64_t v = length;
  std::uint8_t* out = at(p.at);
  for (std::size_t i = p.width; i-- > 0; v >>= 8) out[i] = static_cast<std::uint8_t>(v & 0xff);
  return true;
}

void ByteWriter::abandon() {
  if (grow_ != nullptr) grow_->resize(start_);
  written_ = 0;
}

}  // namespace quellsig
