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

Result<UniqueFd> openForReading(std::string_view path, int extra_flags) {
  if (path.find('\0') != std::string_view::npos) return fail(Error::InvalidPath);
  const std::string cpath(path);
  UniqueFd fd(::open(cpath.c_str(), O_RDONLY | O_CLOEXEC | extra_flags));
  if (!fd) return fail(lastError());
  return fd;
}

// Reads what is left of fd. A regular file gets one allocation of its size
// (plus one byte, so the end-of-file read needs no growth); pipes and devices
// grow as they come.
Result<std::string> readAll(int fd, const struct stat& st, std::size_t max_bytes) {
  std::string out;
  std::size_t want = 4096;
  if (S_ISREG(st.st_mode)) {
    if (static_cast<std::size_t>(st.st_size) > max_bytes) return fail(Error::FileTooBig);
    want = static_cast<std::size_t>(st.st_size) + 1;
  }
  out.resize(want);
  std::size_t used = 0;
  for (;;) {
    if (used == out.size()) {
      if (used > max_bytes) return fail(Error::FileTooBig);
      out.resize(out.size() * 2);
    }
    ssize_t n = ::read(fd, out.data() + used, out.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(lastError());
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  if (used > max_bytes) return fail(Error::FileTooBig);
  out.resize(used);
  return out;
}

}  // namespace

Result<std::string> readWholeFile(std::string_view path, std::size_t max_bytes) {
  try {
    auto fd = openForReading(path, 0);
    if (!fd) return fail(fd.error());
    struct stat st {};
    if (::fstat(fd->get(), &st) != 0) return fail(lastError());
    if (S_ISDIR(st.st_mode)) return fail(Error::IsDir);
    return readAll(fd->get(), st, max_bytes);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<RegularFile> openRegularFile(std::string_view path) {
  try {
    auto fd = openForReading(path, O_NONBLOCK);
    if (!fd) return fail(fd.error());
    struct stat st {};
    if (::fstat(fd->get(), &st) != 0) return fail(lastError());
    if (S_ISDIR(st.st_mode)) return fail(Error::IsDir);
    if (!S_ISREG(st.st_mode)) return fail(Error::NotRegularFile);
    return RegularFile{std::move(*fd), static_cast<unsigned>(st.st_mode & 07777)};
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<std::string> readRegularFile(std::string_view path, std::size_t max_bytes) {
  auto file = openRegularFile(path);
  if (!file) return fail(file.error());
  try {
    struct stat st {};
    if (::fstat(file->fd.get(), &st) != 0) return fail(lastError());
    return readAll(file->fd.get(), st, max_bytes);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<unsigned> filePermissionBits(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return fail(Error::InvalidPath);
  try {
    const std::string cpath(path);
    struct stat st {};
    if (::fstatat(AT_FDCWD, cpath.c_str(), &st, 0) != 0) return fail(lastError());
    return static_cast<unsigned>(st.st_mode & 07777);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

}  // namespace quellsig::platform
