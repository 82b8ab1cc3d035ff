#include "engine/key_loading.h"

#include <new>

#include "engine/rsa.h"
#include "platform/file.h"

namespace quellsig {

Result<PrivateKey> loadPemPrivateKey(std::string_view path) {
  if (path.size() >= 4096) return fail(Error::PathTooLong);
  // One descriptor for the mode check and the read, so the file checked is
  // the file read.
  auto file = platform::openRegularFile(path);
  if (!file) return fail(file.error() == Error::AccessDenied ? Error::FileOpenFailed : file.error());
  if ((file->permission_bits & 077) != 0) return fail(Error::KeyFilePermissionsTooOpen);
  try {
    return rsaLoadPemDescriptor(file->fd.get());
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

}  // namespace quellsig
