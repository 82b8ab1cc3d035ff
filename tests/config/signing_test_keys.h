// Test fixture support: RSA key files generated once per test binary with
// the openssl command, and capture of the log records a call emits.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "tests/support/temp_dir.h"

namespace quellsig::testing_keys {

// Path of an unencrypted PEM RSA key of the given size, mode 0600; made on
// first use and shared by every test of the binary.
const std::string& rsaKeyPath(int bits);

// Copies the key of the given size to dir/name with the given mode.
std::string copyKey(const std::filesystem::path& dir, std::string_view name, int bits,
                    std::filesystem::perms mode = std::filesystem::perms(0600));

void writeFile(const std::filesystem::path& path, std::string_view text);

// Sends every log record, debug included, to standard error and captures it
// until stop(), which returns the records written meanwhile.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::string stop();

 private:
  bool active_ = false;
};

// A temporary directory for tables and keys, removed after each test.
class TableDirTest : public ::testing::Test {
 protected:
  // Writes text to dir/name and returns the path.
  std::string file(const std::string& name, std::string_view text) {
    return temp_.write(name, std::string(text));
  }
  testutil::TempDir temp_;
  const std::filesystem::path& dir_ = temp_.path();
};

}  // namespace quellsig::testing_keys
