// Running a program as a child process with its output captured, for the
// process tests of the programs.
//
// spawnProcess starts argv[0] (a path) with the given arguments, standard
// input from /dev/null and standard output and error each on a pipe whose
// read end the returned ChildProcess owns. Fails with the error of pipe or
// fork; a program that cannot be executed exits with status 127.
// waitForExit waits at most timeout_ms and returns nullopt if the child is
// still running; a reaped child cannot be waited for again. readAll reads a
// pipe until end of file or until timeout_ms has passed in total.
// Call from one thread per child.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "platform/error.h"
#include "platform/fd.h"

namespace quellsig::platform {

struct ChildProcess {
  int pid = -1;
  UniqueFd out;
  UniqueFd err;
};

struct ExitStatus {
  bool signaled = false;  // ended by a signal; code is then its number
  int code = 0;
};

Result<ChildProcess> spawnProcess(std::span<const std::string> argv);
Result<void> sendSignal(int pid, int signal_number);
Result<std::optional<ExitStatus>> waitForExit(int pid, int timeout_ms);
// Reads until end of file or the time is up; returns what arrived.
std::string readAll(int fd, int timeout_ms);
// Reads until the bytes read so far contain needle, end of file, or the time
// is up; returns what arrived.
std::string readUntil(int fd, std::string_view needle, int timeout_ms);

}  // namespace quellsig::platform
