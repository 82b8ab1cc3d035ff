// TempDir: a fresh private directory for a test (or a suite), removed with
// everything in it when the object goes away; built on testutil::PrivateDir.
// A directory that cannot be made aborts the test binary: no test can go on
// without it. Names stay short because unix sockets bound inside must keep
// their paths under 104 bytes. write() replaces the file; with a mode it then
// sets exactly those permission bits, otherwise the umask decides. One thread.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "tests/support/private_dir.h"

namespace quellsig::testutil {

class TempDir {
 public:
  // prefix: a short word naming the user, e.g. "tools".
  explicit TempDir(std::string_view prefix = "test") {
    auto dir = testutil::PrivateDir::create(prefix);
    if (!dir) {
      std::fprintf(stderr, "cannot create a temporary directory: %s\n",
                   std::string(errorName(dir.error())).c_str());
      std::abort();
    }
    dir_ = std::move(*dir);
    path_ = dir_.path();
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

  std::string write(const std::string& name, const std::string& bytes) const {
    const std::string p = file(name);
    std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
    return p;
  }
  std::string write(const std::string& name, const std::string& bytes, unsigned mode) const {
    const std::string p = write(name, bytes);
    std::filesystem::permissions(p, static_cast<std::filesystem::perms>(mode),
                                 std::filesystem::perm_options::replace);
    return p;
  }
  // The whole file, or "" when it cannot be read.
  std::string read(const std::string& name) const {
    std::ifstream f(path_ / name, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }

 private:
  testutil::PrivateDir dir_;
  std::filesystem::path path_;
};

}  // namespace quellsig::testutil
