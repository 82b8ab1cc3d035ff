#include "engine/key_loading.h"

#include <new>

#include "engine/rsa.h"
#include "platform/file.h"

namespace quellsig {

Result<PrivateKey> loadPemPrivateKey(std::string_view path) {
  if (path.size() >= 4096) return fail(Error::PathTooLong);
  // The status read refuses an embedded NUL (InvalidPath), which would make
  // libcrypto's C string name another file.
  auto mode = platform::filePermissionBits(path);
  if (!mode) return fail(mode.error());
  if ((*mode & 077) != 0) return fail(Error::KeyFilePermissionsTooOpen);
  try {
    return rsaLoadPemFile(path);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

}  // namespace quellsig
