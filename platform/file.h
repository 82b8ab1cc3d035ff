// Whole-file reading and file status for the tools and the key loaders.
//
// readWholeFile reads the file at `path` (relative to the working directory)
// into one buffer sized to the file. A file longer than max_bytes fails with
// FileTooBig; open and read failures give the named error of their errno
// (FileNotFound, AccessDenied, IsDir, ...); a path holding a NUL byte is
// InvalidPath. The caller owns the returned bytes.
//
// openRegularFile opens the file at `path` for reading without blocking (a
// FIFO or device cannot hold the caller up) and reads its status from the
// same descriptor: a directory fails with IsDir, anything else that is not a
// regular file with NotRegularFile; open failures give their named error
// (FileNotFound, AccessDenied, SymLinkLoop, ...). The caller owns the
// descriptor. readRegularFile is openRegularFile, then readWholeFile's size
// rule and read on that descriptor; the configuration file and the signing
// tables go through it.
//
// filePermissionBits returns the permission bits (mode & 07777) of the file
// at `path`, following symbolic links; a failing status read gives the error
// of its errno. Any thread may call these.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/fd.h"

namespace quellsig::platform {

Result<std::string> readWholeFile(std::string_view path, std::size_t max_bytes);

struct RegularFile {
  UniqueFd fd;
  unsigned permission_bits = 0;  // mode & 07777
};
Result<RegularFile> openRegularFile(std::string_view path);
Result<std::string> readRegularFile(std::string_view path, std::size_t max_bytes);
Result<unsigned> filePermissionBits(std::string_view path);

}  // namespace quellsig::platform
