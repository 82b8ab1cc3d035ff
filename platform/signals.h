// The daemon's signal handling: SIGPIPE made harmless, the shutdown and
// reload signals blocked, and the main thread's synchronous wait for them.
//
// ignoreBrokenPipe installs a handler that does nothing for SIGPIPE, so a
// write to a closed connection fails with BrokenPipe instead of ending the
// process; the handler (unlike SIG_IGN) is reset in programs the process
// executes. blockDaemonSignals blocks SIGHUP, SIGINT, SIGTERM and SIGPIPE in
// the calling thread; threads created afterwards inherit the mask. Call both
// on the main thread before any other thread exists.
//
// waitForDaemonSignal blocks the caller until SIGHUP, SIGINT or SIGTERM is
// pending (they must be blocked) and returns which one. SIGPIPE is never
// waited for.
#pragma once

#include "platform/error.h"

namespace quellsig::platform {

enum class DaemonSignal { Reload, Interrupt, Terminate };

// The signal's number as the system knows it (SIGHUP 1, SIGINT 2, SIGTERM 15).
int signalNumber(DaemonSignal s);

Result<void> ignoreBrokenPipe();
Result<void> blockDaemonSignals();
Result<DaemonSignal> waitForDaemonSignal();

}  // namespace quellsig::platform
