// Running a program to completion and capturing what it writes (process
// tests of the tools, benchmarks).
//
// runProgram starts argv[0] through spawnProcess (a path, not searched in
// PATH) with the given arguments in working directory `cwd` (empty: the
// caller's), standard input from /dev/null, and collects standard output and
// standard error until it exits. Fails with the named error of a failing
// pipe or spawn; a program that cannot be executed is a spawn failure. The
// child is always waited for. Any thread may call it.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace quellsig::testutil {

struct ProgramResult {
  int exit_status = -1;  // -1 when the program was killed by a signal
  std::string out;
  std::string err;
};

Result<ProgramResult> runProgram(std::span<const std::string> argv, std::string_view cwd);

}  // namespace quellsig::testutil
