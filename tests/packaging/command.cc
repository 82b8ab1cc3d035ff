#include "tests/packaging/command.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/child_process.h"

namespace quellsig::testing {

CommandRun runCommand(const std::vector<std::string>& argv, const std::string& cwd,
                      const std::vector<std::string>& env, int timeout_ms) {
  // spawnProcess passes the caller's environment on; the extra entries go in
  // through env(1) so that nothing here edits this process's environment.
  std::vector<std::string> full;
  if (!env.empty()) {
    full.push_back("env");
    full.insert(full.end(), env.begin(), env.end());
  }
  full.insert(full.end(), argv.begin(), argv.end());
  testutil::SpawnOptions options;
  options.working_dir = cwd;
  options.search_path = true;
  auto child = testutil::spawnProcess(full, options);
  if (!child) return {};
  CommandRun run;
  // Standard error is read after standard output closes; commands here write
  // little to it, far below a pipe's buffer.
  run.out = testutil::readAll(child->out.get(), timeout_ms);
  run.err = testutil::readAll(child->err.get(), timeout_ms);
  auto status = testutil::waitForExit(child->pid, timeout_ms);
  if (!status || !*status) {
    (void)testutil::sendSignal(child->pid, 9);
    (void)testutil::waitForExit(child->pid, timeout_ms);
    return run;
  }
  run.status = (*status)->signaled ? -1 : (*status)->code;
  return run;
}

bool onPath(std::string_view name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    std::error_code ec;
    const auto st = std::filesystem::status(std::filesystem::path(dir) / name, ec);
    if (!ec && std::filesystem::is_regular_file(st) &&
        (st.permissions() & std::filesystem::perms::others_exec) != std::filesystem::perms::none) {
      return true;
    }
  }
  return false;
}

std::string readFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

}  // namespace quellsig::testing
