#include "platform/runtime_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "platform/exclusive_file.h"
#include "platform/system_error.h"

namespace quellsig::platform {
namespace {

Result<std::string> cPath(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return fail(Error::InvalidPath);
  try {
    return std::string(path);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

int openRetrying(const std::string& path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::openat(AT_FDCWD, path.c_str(), flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

FileIdentity identityFrom(const struct stat& st) {
  return FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                      static_cast<unsigned>(st.st_mode & 07777), static_cast<std::uint32_t>(st.st_uid),
                      static_cast<std::uint32_t>(st.st_gid), S_ISDIR(st.st_mode)};
}

}  // namespace

Result<std::string> readFileHead(std::string_view path, std::size_t max_bytes) {
  auto c = cPath(path);
  if (!c) return fail(c.error());
  UniqueFd fd(openRetrying(*c, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return fail(lastError());
  std::string out(max_bytes, '\0');
  ssize_t n;
  do {
    n = ::read(fd.get(), out.data(), out.size());
  } while (n < 0 && errno == EINTR);
  if (n < 0) return fail(lastError());
  out.resize(static_cast<std::size_t>(n));
  return out;
}

Result<void> writeRegularFile(std::string_view path, std::string_view text, unsigned mode) {
  auto c = cPath(path);
  if (!c) return fail(c.error());
  // No O_TRUNC: nothing is cut before the file is known to be a regular one.
  // O_NONBLOCK keeps a planted FIFO from holding the open.
  UniqueFd fd(openRetrying(*c, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK,
                           static_cast<mode_t>(mode)));
  if (!fd) {
    if (errno == ELOOP || errno == ENXIO) return fail(Error::NotRegularFile);
    return fail(lastError());
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return fail(lastError());
  // A second name would let whoever planted it aim the write at another file.
  if (!S_ISREG(st.st_mode) || st.st_nlink > 1) return fail(Error::NotRegularFile);
  if (::fchmod(fd.get(), static_cast<mode_t>(mode)) != 0) return fail(lastError());
  if (::ftruncate(fd.get(), 0) != 0) return fail(lastError());
  if (auto w = writeAll(fd.get(), text); !w) return fail(w.error());
  if (::close(fd.release()) != 0) return fail(lastError());
  return {};
}

Result<bool> makeDirectory(std::string_view path, unsigned mode) {
  auto c = cPath(path);
  if (!c) return fail(c.error());
  if (::mkdirat(AT_FDCWD, c->c_str(), static_cast<mode_t>(mode)) == 0) return true;
  if (errno == EEXIST) return false;
  return fail(lastError());
}

Result<UniqueFd> openDirectory(std::string_view path) {
  auto c = cPath(path);
  if (!c) return fail(c.error());
  UniqueFd fd(openRetrying(*c, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return fail(lastError());
  return fd;
}

Result<void> setMode(int fd, unsigned mode) {
  if (::fchmod(fd, static_cast<mode_t>(mode)) != 0) return fail(lastError());
  return {};
}

Result<void> changeOwner(int fd, std::uint32_t uid, std::uint32_t gid) {
  if (::fchown(fd, static_cast<uid_t>(uid), static_cast<gid_t>(gid)) != 0) return fail(lastError());
  return {};
}

Result<FileIdentity> fileIdentity(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return fail(lastError());
  return identityFrom(st);
}

Result<FileIdentity> pathIdentity(std::string_view path) {
  auto c = cPath(path);
  if (!c) return fail(c.error());
  struct stat st {};
  if (::fstatat(AT_FDCWD, c->c_str(), &st, 0) != 0) return fail(lastError());
  return identityFrom(st);
}

}  // namespace quellsig::platform
