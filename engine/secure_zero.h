// Wiping secrets (seeds, their base64 text, key bytes) so that they do not
// survive in freed memory. The stores are never optimised away, unlike a
// memset just before free. Any thread may call it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace quellsig {

void secureZero(void* data, std::size_t size);

inline void secureZero(std::span<std::uint8_t> bytes) { secureZero(bytes.data(), bytes.size()); }
inline void secureZero(std::string& text) { secureZero(text.data(), text.size()); }

}  // namespace quellsig
