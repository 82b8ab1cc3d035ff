// Permission bits of a file, read from its status without opening it.
//
// fileModeBits follows symbolic links and returns the st_mode permission bits
// (07777). Fails with InvalidPath for a path holding a NUL byte, otherwise
// with the named error of the failing status read (FileNotFound, AccessDenied,
// ...). Any thread may call it.
#pragma once

#include <string_view>

#include "platform/error.h"

namespace quellsig::platform {

Result<unsigned> fileModeBits(std::string_view path);

}  // namespace quellsig::platform
