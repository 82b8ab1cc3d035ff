#include "engine/secure_zero.h"

#include <sodium.h>

namespace quellsig {

void secureZero(void* data, std::size_t size) { sodium_memzero(data, size); }

}  // namespace quellsig
