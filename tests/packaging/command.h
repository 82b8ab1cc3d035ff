// Running system commands (mandoc, systemd-analyze, cmake, cpack, dpkg,
// lintian) from the packaging tests, and reading files they check.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quellsig::testing {

struct CommandRun {
  int status = -1;  // -1: could not start, killed, or still running at the limit
  std::string out;
  std::string err;
};

// Runs argv (argv[0] looked up on PATH unless it contains a "/") in cwd
// (empty: the caller's), with `env` entries ("NAME=value") added to the
// environment, for at most timeout_ms.
CommandRun runCommand(const std::vector<std::string>& argv, const std::string& cwd = "",
                      const std::vector<std::string>& env = {}, int timeout_ms = 120000);

// Whether an executable of that name is on PATH.
bool onPath(std::string_view name);

// The whole file, or "" when it cannot be read.
std::string readFile(const std::string& path);

}  // namespace quellsig::testing
