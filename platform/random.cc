#include "platform/random.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace quellsig::platform {

namespace {

// For kernels or sandboxes without getrandom (ENOSYS).
bool readUrandom(std::span<std::uint8_t> out) {
  int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::size_t done = 0;
  while (done < out.size()) {
    ssize_t n = ::read(fd, out.data() + done, out.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return done == out.size();
}

}  // namespace

void secureRandomBytes(std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    ssize_t n = ::getrandom(out.data() + done, out.size() - done, 0);
    if (n >= 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (readUrandom(out.subspan(done))) return;
    // Without a secure source, keys and query IDs would be guessable: stop
    // rather than hand out predictable bytes.
    std::abort();
  }
}

std::uint16_t secureRandomU16() {
  std::uint8_t b[2];
  secureRandomBytes(b);
  return static_cast<std::uint16_t>((b[0] << 8) | b[1]);
}

}  // namespace quellsig::platform
