#include "platform/exclusive_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/system_error.h"

namespace quellsig::platform {

Result<UniqueFd> createExclusiveFile(std::string_view path, unsigned mode) {
  if (path.find('\0') != std::string_view::npos) return fail(Error::InvalidPath);
  const std::string c_path(path);
  int fd;
  do {
    fd = ::openat(AT_FDCWD, c_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_TRUNC | O_CLOEXEC,
                  static_cast<mode_t>(mode));
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(lastError());
  return UniqueFd(fd);
}

Result<void> writeAll(int fd, std::span<const char> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(lastError());
    }
    done += static_cast<std::size_t>(n);
  }
  return {};
}

Result<void> removeFile(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return fail(Error::InvalidPath);
  const std::string c_path(path);
  if (::unlinkat(AT_FDCWD, c_path.c_str(), 0) != 0) return fail(lastError());
  return {};
}

}  // namespace quellsig::platform
