// Base64 of RFC 4648, standard alphabet with "=" padding.
//
// base64Encode never fails short of memory exhaustion (std::bad_alloc is not
// caught: callers at a module border catch it as OutOfMemory).
// decodeBase64Tag implements the tag-value rule: every space, tab, CR and LF
// is removed first, the rest must be a multiple of 4 long with valid padding;
// the empty text decodes to no bytes. Failure: InvalidArgument. Pure functions.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"

namespace quellsig {

std::string base64Encode(std::span<const std::uint8_t> bytes);
Result<std::vector<std::uint8_t>> decodeBase64Tag(std::string_view text);

}  // namespace quellsig
