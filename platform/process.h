// The calling process itself: umask, ids, the process probe, forking into
// the background and leaving.
//
// probeProcess sends signal 0: Absent when the system says no such process
// exists, Present on success or any refusal (a process of another user is
// alive too). forkProcess returns 0 in the child and the child's id in the
// parent; detachSession makes the caller a session leader without a
// controlling terminal; redirectStandardStreams puts /dev/null on
// descriptors 0, 1 and 2. exitImmediately ends the process without running
// exit handlers or destructors (the copy of the program in a parent or an
// intermediate process of a fork must not flush or free what the other
// copy owns). Call forkProcess only while no other thread runs.
#pragma once

#include "platform/error.h"

namespace quellsig::platform {

enum class ProcessPresence { Absent, Present };

// Returns the mask it replaces.
unsigned setUmask(unsigned mask);
int parentProcessId();
ProcessPresence probeProcess(int pid);
Result<int> forkProcess();
Result<void> detachSession();
Result<void> redirectStandardStreams();
[[noreturn]] void exitImmediately(int status);

}  // namespace quellsig::platform
