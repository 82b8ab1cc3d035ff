// Reading a small file whole, relative to the working directory.
//
// readWholeFile opens path read-only and returns its bytes. It fails with the
// error of opening or reading (FileNotFound, AccessDenied, IsDir, ...),
// InvalidPath when the path holds a NUL byte, FileTooBig when the file has
// more than limit bytes, OutOfMemory when the buffer cannot be allocated.
// The caller owns the returned bytes. Any thread may call it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace quellsig::platform {

Result<std::string> readWholeFile(std::string_view path, std::size_t limit);

}  // namespace quellsig::platform
