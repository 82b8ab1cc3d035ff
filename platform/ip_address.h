// Validation of numeric IP address texts, with the system's own parser.
//
// isIpv6Literal accepts the RFC 4291 text forms (with "::" compression and
// an optional dotted IPv4 tail); no zone index, no brackets, no host names.
// Pure functions; any thread may call them.
#pragma once

#include <string_view>

namespace quellsig::platform {

bool isIpv6Literal(std::string_view text);

}  // namespace quellsig::platform
