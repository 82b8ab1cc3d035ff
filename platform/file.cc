#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "platform/fd.h"
#include "platform/system_error.h"

namespace quellsig::platform {
namespace {

Result<std::string> terminatedPath(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return fail(Error::InvalidPath);
  try {
    return std::string(path);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

}  // namespace

Result<std::string> readWholeFile(std::string_view path, std::size_t max_bytes) {
  auto name = terminatedPath(path);
  if (!name) return fail(name.error());
  UniqueFd fd(::open(name->c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return fail(lastError());
  try {
    std::string text;
    // Read one byte beyond the limit so an oversized file is recognised
    // without trusting the size fstat reports (it may grow meanwhile).
    const std::size_t cap = max_bytes + 1;
    std::size_t used = 0;
    text.resize(cap < 65536 ? cap : 65536);
    for (;;) {
      if (used == text.size()) {
        if (text.size() == cap) break;
        text.resize(text.size() * 2 < cap ? text.size() * 2 : cap);
      }
      ssize_t n = ::read(fd.get(), text.data() + used, text.size() - used);
      if (n < 0) {
        if (errno == EINTR) continue;
        return fail(lastError());
      }
      if (n == 0) break;
      used += static_cast<std::size_t>(n);
    }
    if (used > max_bytes) return fail(Error::FileTooBig);
    text.resize(used);
    return text;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<std::uint32_t> filePermissionBits(std::string_view path) {
  auto name = terminatedPath(path);
  if (!name) return fail(name.error());
  struct stat st{};
  if (::fstatat(AT_FDCWD, name->c_str(), &st, 0) != 0) return fail(lastError());
  return static_cast<std::uint32_t>(st.st_mode & 07777);
}

}  // namespace quellsig::platform
