#include "platform/standard_descriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "platform/system_error.h"

namespace quellsig::platform {

Result<void> openMissingStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is fd itself, as every lower one is open.
    int opened = ::open("/dev/null", O_RDWR);
    if (opened < 0) return fail(lastError());
    if (opened != fd) {
      std::optional<Error> error;
      if (::dup2(opened, fd) != fd) error = lastError();
      ::close(opened);
      if (error) return fail(*error);
    }
  }
  return {};
}

}  // namespace quellsig::platform
