// Running a program of the build tree as a child process in a scratch
// directory, capturing its standard output, standard error and exit status.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace quellsig::testing {

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

// A fresh directory under the system's temporary directory, removed with the
// object.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  // Writes `content` to `name` in the directory with permission bits `mode`;
  // returns the full path.
  std::string write(const std::string& name, const std::string& content, unsigned mode = 0600);
  std::string read(const std::string& name) const;

 private:
  std::filesystem::path path_;
};

// Runs `program` (a path) with `args` in `dir`, standard input from
// /dev/null; a failure to start it fails the calling test.
ToolRun runTool(const std::string& program, const std::vector<std::string>& args,
                const ScratchDir& dir);

}  // namespace quellsig::testing
