// Daemon: one run of the built daemon as a child process for the process
// tests, killed at the end of the test if it is still alive. One thread.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "tests/support/child_process.h"

namespace quellsig::testing {

constexpr int kTimeoutMs = 10000;
constexpr int kSigint = 2;
constexpr int kSighup = 1;
constexpr int kSigterm = 15;
constexpr int kSigkill = 9;

class Daemon {
 public:
  explicit Daemon(std::vector<std::string> args) {
    args.insert(args.begin(), QUELLSIG_BIN_DIR "/daemon/quellsig");
    auto child = testutil::spawnProcess(args);
    if (child) child_ = std::move(*child);
  }
  ~Daemon() {
    if (child_.pid > 0 && !reaped_) {
      (void)testutil::sendSignal(child_.pid, kSigkill);
      (void)testutil::waitForExit(child_.pid, kTimeoutMs);
    }
  }
  bool started() const { return child_.pid > 0; }
  std::string pid() const { return std::to_string(child_.pid); }

  std::string stderrUntil(std::string_view needle) {
    return testutil::readUntil(child_.err.get(), needle, kTimeoutMs);
  }
  std::string stderrToEnd() { return testutil::readAll(child_.err.get(), kTimeoutMs); }
  void signal(int n) { ASSERT_TRUE(testutil::sendSignal(child_.pid, n).has_value()); }
  // The exit status, or -1 when the daemon did not end in time or by a signal.
  int exitCode(int timeout_ms = kTimeoutMs) {
    auto st = testutil::waitForExit(child_.pid, timeout_ms);
    if (!st || !*st) return -1;
    reaped_ = true;
    return (*st)->signaled ? -1 : (*st)->code;
  }

 private:
  testutil::ChildProcess child_;
  bool reaped_ = false;
};

}  // namespace quellsig::testing
