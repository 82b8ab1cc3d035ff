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

bool ByteWriter::grow(std::size_t n) {
  try {
    // Doubling keeps a run of small writes from reallocating each time.
    grow_->reserve(std::max(grow_->size() + n, 2 * grow_->capacity()));
    return true;
  } catch (const std::bad_alloc&) {
    return refuse(Error::OutOfMemory);
  } catch (const std::length_error&) {
    return refuse(Error::OutOfMemory);
  }
}

bool ByteWriter::endPrefix(const Prefix& p) {
  if (failed_) return false;
  const std::size_t length = written_ - p.at - p.width;
  const std::uint64_t max = p.width >= 8 ? std::numeric_limits<std::uint64_t>::max()
                                         : (std::uint64_t{1} << (8 * p.width)) - 1;
  if (length > max) return refuse(Error::PacketTooLarge);
  std::uint64_t v = length;
  std::uint8_t* out = grow_ == nullptr ? fixed_.data() + p.at : grow_->data() + start_ + p.at;
  for (std::size_t i = p.width; i-- > 0; v >>= 8) out[i] = static_cast<std::uint8_t>(v & 0xff);
  return true;
}

void ByteWriter::abandon() {
  if (grow_ != nullptr) grow_->resize(start_);
  written_ = 0;
}

}  // namespace quellsig
