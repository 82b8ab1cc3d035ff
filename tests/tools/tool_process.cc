#include "tests/tools/tool_process.h"

#include <gtest/gtest.h>

#include "tests/support/run_program.h"

namespace quellsig::testing {

ToolRun runTool(const std::string& program, const std::vector<std::string>& args,
                const testutil::TempDir& dir) {
  std::vector<std::string> argv = {program};
  argv.insert(argv.end(), args.begin(), args.end());
  auto r = testutil::runProgram(argv, dir.path().string());
  EXPECT_TRUE(r.has_value()) << program;
  if (!r) return {};
  return {r->exit_status, std::move(r->out), std::move(r->err)};
}

}  // namespace quellsig::testing
