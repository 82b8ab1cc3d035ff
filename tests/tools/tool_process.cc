#include "tests/tools/tool_process.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>

#include "platform/child_process.h"

namespace quellsig::testing {

ScratchDir::ScratchDir() {
  std::random_device rd;
  path_ = std::filesystem::temp_directory_path() /
          ("quellsig-tools-" + std::to_string(rd()) + std::to_string(rd()));
  std::filesystem::create_directories(path_);
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string ScratchDir::write(const std::string& name, const std::string& content, unsigned mode) {
  auto p = path_ / name;
  {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(content.data(), static_cast<std::streamsize>(content.size()));
  }
  std::filesystem::permissions(p, static_cast<std::filesystem::perms>(mode),
                               std::filesystem::perm_options::replace);
  return p.string();
}

std::string ScratchDir::read(const std::string& name) const {
  std::ifstream f(path_ / name, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

ToolRun runTool(const std::string& program, const std::vector<std::string>& args,
                const ScratchDir& dir) {
  std::vector<std::string> argv = {program};
  argv.insert(argv.end(), args.begin(), args.end());
  auto r = platform::runProgram(argv, dir.path().string());
  EXPECT_TRUE(r.has_value()) << program;
  if (!r) return {};
  return {r->exit_status, std::move(r->out), std::move(r->err)};
}

}  // namespace quellsig::testing
