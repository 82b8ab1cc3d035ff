#include "platform/read_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "platform/fd.h"
#include "platform/system_error.h"

namespace quellsig::platform {

Result<std::string> readWholeFile(std::string_view path, std::size_t limit) {
  if (path.find('\0') != std::string_view::npos) return fail(Error::InvalidPath);
  try {
    std::string cpath(path);
    UniqueFd fd(::open(cpath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return fail(lastError());
    std::string bytes;
    // One byte beyond the limit tells a file of exactly limit bytes from a
    // bigger one without trusting fstat (the file may be growing).
    constexpr std::size_t kChunk = 64 * 1024;
    for (;;) {
      std::size_t old = bytes.size();
      std::size_t want = std::min(kChunk, limit + 1 - old);
      bytes.resize(old + want);
      ssize_t n = ::read(fd.get(), bytes.data() + old, want);
      if (n < 0) {
        if (errno == EINTR) {
          bytes.resize(old);
          continue;
        }
        return fail(lastError());
      }
      bytes.resize(old + static_cast<std::size_t>(n));
      if (bytes.size() > limit) return fail(Error::FileTooBig);
      if (n == 0) return bytes;
    }
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

}  // namespace quellsig::platform
