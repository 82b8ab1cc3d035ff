// Creating new files that must not replace anything, and writing to them.
//
// createExclusiveFile opens path relative to the working directory for
// writing with create, exclusive, truncate and close-on-exec and the given
// permission bits (the umask can only remove bits). An existing path fails
// with PathAlreadyExists; a path holding a NUL byte with InvalidPath; other
// failures with the errno's named error. The caller owns the descriptor.
//
// writeAll writes every byte, retrying short writes and EINTR; a failure
// returns the errno's named error and leaves an unknown prefix written.
//
// removeFile unlinks a path relative to the working directory.
// Any thread may call these.
#pragma once

#include <span>
#include <string_view>

#include "platform/error.h"
#include "platform/fd.h"

namespace quellsig::platform {

Result<UniqueFd> createExclusiveFile(std::string_view path, unsigned mode);
Result<void> writeAll(int fd, std::span<const char> bytes);
Result<void> removeFile(std::string_view path);

}  // namespace quellsig::platform
