// TempDir: a fresh directory under the system's temporary directory for one
// test, removed with everything in it when the object goes away.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/log_socket.h"
#include "platform/random.h"

namespace quellsig::testutil {

class TempDir {
 public:
  TempDir() {
    // Short names: unix socket paths inside must stay under 104 bytes.
    path_ = std::filesystem::temp_directory_path() /
            ("qs-" + std::to_string(platform::processId()) + "-" +
             std::to_string(platform::secureRandomU16()));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Writes bytes to a file in the directory and returns its path.
  std::string write(const std::string& name, const std::string& bytes) const {
    std::filesystem::path p = path_ / name;
    std::ofstream(p, std::ios::binary) << bytes;
    return p.string();
  }
  std::string file(const std::string& name) const { return (path_ / name).string(); }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace quellsig::testutil
