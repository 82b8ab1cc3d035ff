// Reading whole files and their permission bits.
//
// readWholeFile opens path read-only (relative to the working directory) and
// returns its bytes; a file of more than max_bytes bytes is FileTooBig, and
// open and read failures are their named errors (FileNotFound, AccessDenied,
// IsDir, ...). The caller owns the returned text. The path is copied, so it
// need not be NUL-terminated; a path holding a NUL byte is InvalidPath.
//
// filePermissionBits returns the low 12 bits of the file's mode (permission,
// set-id and sticky bits), following symbolic links.
//
// Any thread may call these; they share no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace quellsig::platform {

Result<std::string> readWholeFile(std::string_view path, std::size_t max_bytes);
Result<std::uint32_t> filePermissionBits(std::string_view path);

}  // namespace quellsig::platform
