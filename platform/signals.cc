#include "platform/signals.h"

#include <pthread.h>
#include <signal.h>

#include "platform/system_error.h"

namespace quellsig::platform {
namespace {

void doNothing(int) {}

sigset_t waitedSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

int signalNumber(DaemonSignal s) {
  switch (s) {
    case DaemonSignal::Reload:
      return SIGHUP;
    case DaemonSignal::Interrupt:
      return SIGINT;
    case DaemonSignal::Terminate:
      return SIGTERM;
  }
  return 0;
}

Result<void> ignoreBrokenPipe() {
  struct sigaction sa{};
  sa.sa_handler = doNothing;
  sigemptyset(&sa.sa_mask);
  if (::sigaction(SIGPIPE, &sa, nullptr) != 0) return fail(lastError());
  return {};
}

Result<void> blockDaemonSignals() {
  sigset_t set = waitedSignals();
  sigaddset(&set, SIGPIPE);
  int rc = ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (rc != 0) return fail(errorFromErrno(rc));
  return {};
}

Result<DaemonSignal> waitForDaemonSignal() {
  sigset_t set = waitedSignals();
  for (;;) {
    int sig = 0;
    int rc = ::sigwait(&set, &sig);
    if (rc != 0) return fail(errorFromErrno(rc));
    switch (sig) {
      case SIGHUP:
        return DaemonSignal::Reload;
      case SIGINT:
        return DaemonSignal::Interrupt;
      case SIGTERM:
        return DaemonSignal::Terminate;
      default:
        break;  // not in the set; wait again
    }
  }
}

}  // namespace quellsig::platform
