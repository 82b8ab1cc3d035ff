// Running a program of the build tree as a child process in a scratch
// directory, capturing its standard output, standard error and exit status.
#pragma once

#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace quellsig::testing {

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs `program` (a path) with `args` in `dir`, standard input from
// /dev/null; a failure to start it fails the calling test.
ToolRun runTool(const std::string& program, const std::vector<std::string>& args,
                const testutil::TempDir& dir);

}  // namespace quellsig::testing
