// ChildProcess: a program started with posix_spawn, owned until it is
// stopped and reaped.
//
// spawn() runs argv[0] found on PATH with the remaining arguments, with
// standard output and standard error appended to output_path, an empty
// signal mask and default signal handling. stop() sends SIGTERM, waits up to
// timeout_ms for the exit, then SIGKILL, and reaps the process; the
// destructor does the same with a two-second limit. One owner thread.
//
// runProgram: running a program to completion and capturing what it writes (process
// tests of the tools).
//
// runProgram starts argv[0] (a path, not searched in PATH) with the given
// arguments in working directory `cwd`, standard input from /dev/null, and
// collects standard output and standard error until it exits. Fails with the
// named error of a failing pipe or spawn; a program that cannot be executed
// is a spawn failure. The child is always waited for. Any thread may call it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace quellsig::platform {

class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(ChildProcess&& o) noexcept;
  ChildProcess& operator=(ChildProcess&& o) noexcept;
  ~ChildProcess();

  static Result<ChildProcess> spawn(std::span<const std::string> argv,
                                    std::string_view output_path);
  // True while the process has not exited.
  bool running();
  void stop(std::uint32_t timeout_ms);
  int pid() const { return pid_; }

 private:
  int pid_ = -1;
  bool reaped_ = true;
};

struct ProgramResult {
  int exit_status = -1;  // -1 when the program was killed by a signal
  std::string out;
  std::string err;
};

Result<ProgramResult> runProgram(std::span<const std::string> argv, std::string_view cwd);

}  // namespace quellsig::platform
