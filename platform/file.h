// Whole-file reading and file status for the tools and the key loaders.
//
// readWholeFile reads the file at `path` (relative to the working directory)
// into one buffer sized to the file. A file longer than max_bytes fails with
// FileTooBig; open and read failures give the named error of their errno
// (FileNotFound, AccessDenied, IsDir, ...). The caller owns the returned bytes.
//
// filePermissionBits returns the permission bits (mode & 07777) of the file
// at `path`, following symbolic links; a failing status read gives the error
// of its errno. Any thread may call these.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace quellsig::platform {

Result<std::string> readWholeFile(std::string_view path, std::size_t max_bytes);
Result<unsigned> filePermissionBits(std::string_view path);

}  // namespace quellsig::platform
