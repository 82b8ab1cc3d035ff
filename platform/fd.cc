#include "platform/fd.h"

#include <unistd.h>

namespace quellsig::platform {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

}  // namespace quellsig::platform
