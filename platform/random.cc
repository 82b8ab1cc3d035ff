#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>

namespace quellsig::platform {

void secureRandomBytes(std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    ssize_t n = ::getrandom(out.data() + done, out.size() - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      // Only EFAULT/EINVAL remain, which a valid span cannot cause.
      continue;
    }
    done += static_cast<std::size_t>(n);
  }
}

std::uint16_t secureRandomU16() {
  std::uint8_t b[2];
  secureRandomBytes(b);
  return static_cast<std::uint16_t>((b[0] << 8) | b[1]);
}

}  // namespace quellsig::platform
