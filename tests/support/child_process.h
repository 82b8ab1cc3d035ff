// Starting a program as a child process: the one spawn path under the process
// tests and the benchmarks (runProgram and BackgroundProcess are built on it).
// Production programs use none of this.
//
// spawnProcess starts argv[0] (a path, or a name looked up on PATH when
// options.search_path is set) with the remaining arguments, in
// options.working_dir when it is not empty, standard input from /dev/null,
// an empty signal mask and default handling of every signal (what the
// caller blocks or ignores must not reach the program). Standard output and
// error go each to a pipe whose read end the returned ChildProcess owns, or,
// when options.output_file is set, are both appended to that file (created
// 0600) and out and err stay empty. Fails with the error of pipe or spawn; a
// program that cannot be executed is a spawn failure. The caller reaps it.
// waitForExit waits at most timeout_ms and returns nullopt if the child is
// still running; a reaped child cannot be waited for again. readAll reads a
// pipe until end of file or until timeout_ms has passed in total.
// Call from one thread per child.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/fd.h"

namespace quellsig::testutil {

struct ChildProcess {
  int pid = -1;
  platform::UniqueFd out;
  platform::UniqueFd err;
};

struct SpawnOptions {
  std::string working_dir;  // empty: the caller's
  std::string output_file;  // empty: pipes
  bool search_path = false;
};

struct ExitStatus {
  bool signaled = false;  // ended by a signal; code is then its number
  int code = 0;
};

Result<ChildProcess> spawnProcess(std::span<const std::string> argv,
                                  const SpawnOptions& options = {});
Result<void> sendSignal(int pid, int signal_number);
Result<std::optional<ExitStatus>> waitForExit(int pid, int timeout_ms);
// Reads until end of file or the time is up; returns what arrived.
std::string readAll(int fd, int timeout_ms);
// Reads until the bytes read so far contain needle, end of file, or the time
// is up; returns what arrived.
std::string readUntil(int fd, std::string_view needle, int timeout_ms);

}  // namespace quellsig::testutil
