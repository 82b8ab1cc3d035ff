// BackgroundProcess: a program started through spawnProcess, owned until it
// is stopped and reaped.
//
// spawn() runs argv[0] found on PATH with the remaining arguments, standard
// input from /dev/null and standard output and standard error appended to
// output_path, an empty signal mask and default signal handling. stop()
// sends SIGTERM, waits up to timeout_ms for the exit, then SIGKILL, and reaps
// the process; the destructor does the same with a two-second limit. One
// owner thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace quellsig::testutil {

class BackgroundProcess {
 public:
  BackgroundProcess() = default;
  BackgroundProcess(BackgroundProcess&& o) noexcept;
  BackgroundProcess& operator=(BackgroundProcess&& o) noexcept;
  ~BackgroundProcess();

  static Result<BackgroundProcess> spawn(std::span<const std::string> argv,
                                         std::string_view output_path);
  // True while the process has not exited.
  bool running();
  void stop(std::uint32_t timeout_ms);
  int pid() const { return pid_; }

 private:
  int pid_ = -1;
  bool reaped_ = true;
};

}  // namespace quellsig::testutil
