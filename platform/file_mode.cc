#include "platform/file_mode.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <string>

#include "platform/system_error.h"

namespace quellsig::platform {

Result<unsigned> fileModeBits(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return fail(Error::InvalidPath);
  const std::string c_path(path);
  struct stat st {};
  if (::fstatat(AT_FDCWD, c_path.c_str(), &st, 0) != 0) return fail(lastError());
  return static_cast<unsigned>(st.st_mode & 07777);
}

}  // namespace quellsig::platform
