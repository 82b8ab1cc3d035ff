// Files and directories a daemon keeps at run time: its pid file and the
// directories holding it and its unix sockets. Paths are relative to the
// working directory; one holding a NUL byte is InvalidPath.
//
// readFileHead reads at most max_bytes from the start of a file (one read).
//
// writeRegularFile replaces the contents of the file at path with text and
// leaves its permission bits exactly `mode`, whatever the umask. It never
// follows a symbolic link at path and writes only to a regular file with no
// other name: a symbolic or hard link or anything else there is
// NotRegularFile and stays untouched. A file that
// already exists keeps its owner.
//
// makeDirectory creates a directory and says whether it did (false: a file
// of that name existed). openDirectory opens one for the calls that take its
// descriptor: setMode, changeOwner and fileIdentity. pathIdentity gives the
// identity of the file a path names, following links.
// Any thread may call these; the files are the caller's to coordinate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/fd.h"

namespace quellsig::platform {

struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  unsigned mode = 0;  // permission bits with set-id and sticky bits
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  bool directory = false;

  bool sticky() const { return (mode & 01000) != 0; }
  bool sameFileAs(const FileIdentity& o) const { return device == o.device && inode == o.inode; }
};

Result<std::string> readFileHead(std::string_view path, std::size_t max_bytes);
Result<void> writeRegularFile(std::string_view path, std::string_view text, unsigned mode);
Result<bool> makeDirectory(std::string_view path, unsigned mode);
Result<UniqueFd> openDirectory(std::string_view path);
Result<void> setMode(int fd, unsigned mode);
Result<void> changeOwner(int fd, std::uint32_t uid, std::uint32_t gid);
Result<FileIdentity> fileIdentity(int fd);
Result<FileIdentity> pathIdentity(std::string_view path);

}  // namespace quellsig::platform
