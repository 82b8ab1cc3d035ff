// Bytes from the system's cryptographically secure generator (getrandom on
// Linux, arc4random_buf on the BSDs). Never fails: the generator blocks only
// until it is seeded at boot. Any thread may call these.
#pragma once

#include <cstdint>
#include <span>

namespace quellsig::platform {

void secureRandomBytes(std::span<std::uint8_t> out);
std::uint16_t secureRandomU16();

}  // namespace quellsig::platform
