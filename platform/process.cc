#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/fd.h"
#include "platform/system_error.h"

namespace quellsig::platform {

unsigned setUmask(unsigned mask) { return ::umask(static_cast<mode_t>(mask & 0777)); }

int parentProcessId() { return static_cast<int>(::getppid()); }

ProcessPresence probeProcess(int pid) {
  if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return ProcessPresence::Absent;
  return ProcessPresence::Present;
}

Result<int> forkProcess() {
  pid_t pid = ::fork();
  if (pid < 0) return fail(lastError());
  return static_cast<int>(pid);
}

Result<void> detachSession() {
  if (::setsid() < 0) return fail(lastError());
  return {};
}

Result<void> redirectStandardStreams() {
  int fd = ::open("/dev/null", O_RDWR);
  if (fd < 0) return fail(lastError());
  // Descriptors 0 to 2 may be closed, so /dev/null can land on one of them.
  UniqueFd owned(fd > 2 ? fd : -1);
  for (int target = 0; target <= 2; ++target) {
    if (target == fd) continue;
    while (::dup2(fd, target) < 0) {
      if (errno != EINTR) return fail(lastError());
    }
  }
  return {};
}

void exitImmediately(int status) { ::_exit(status); }

}  // namespace quellsig::platform
