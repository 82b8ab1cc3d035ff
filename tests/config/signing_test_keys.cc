#include "tests/config/signing_test_keys.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>

#include "log/log.h"

namespace quellsig::testing_keys {

const std::string& rsaKeyPath(int bits) {
  static std::mutex mu;
  static std::map<int, std::string> paths;
  static const testutil::TempDir keys;  // removed when the binary exits
  const std::filesystem::path& dir = keys.path();
  std::lock_guard lock(mu);
  auto it = paths.find(bits);
  if (it != paths.end()) return it->second;
  const std::string path = (dir / ("rsa" + std::to_string(bits) + ".pem")).string();
  const std::string command =
      "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:" + std::to_string(bits) +
      " -out '" + path + "' 2>/dev/null";
  if (std::system(command.c_str()) != 0) ADD_FAILURE() << "could not run: " << command;
  std::filesystem::permissions(path, std::filesystem::perms(0600));
  return paths.emplace(bits, path).first->second;
}

std::string copyKey(const std::filesystem::path& dir, std::string_view name, int bits,
                    std::filesystem::perms mode) {
  const std::filesystem::path to = dir / std::string(name);
  std::filesystem::copy_file(rsaKeyPath(bits), to,
                             std::filesystem::copy_options::overwrite_existing);
  std::filesystem::permissions(to, mode);
  return to.string();
}

void writeFile(const std::filesystem::path& path, std::string_view text) {
  std::ofstream(path, std::ios::binary) << text;
}

LogCapture::LogCapture() {
  LogSettings settings;
  settings.syslog = false;
  settings.level = 7;
  configureLogging(settings);
  ::testing::internal::CaptureStderr();
  active_ = true;
}

LogCapture::~LogCapture() {
  if (active_) stop();
}

std::string LogCapture::stop() {
  active_ = false;
  return ::testing::internal::GetCapturedStderr();
}

}  // namespace quellsig::testing_keys
