// Running the built daemon in a process test.
//
// Daemon: one run of the built daemon as a child process, started with the
// given arguments after the program path and its standard error on a pipe;
// the destructor kills it if it is still running.
// ownedRun gives the configuration keys every such run needs: the
// foreground, so that the test owns the process and reads its records, and
// a pid file in the test's own directory, so that concurrent runs never meet
// at the default path. One thread per Daemon.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/inet_address.h"
#include "platform/tcp_stream.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace quellsig::testing {

inline constexpr int kTimeoutMs = 10000;
inline constexpr int kSighup = 1;
inline constexpr int kSigint = 2;
inline constexpr int kSigkill = 9;
inline constexpr int kSigterm = 15;

class Daemon {
 public:
  explicit Daemon(std::vector<std::string> args) {
    args.insert(args.begin(), QUELLSIG_BIN_DIR "/daemon/quellsig");
    auto child = testutil::spawnProcess(args);
    if (child) child_ = std::move(*child);
  }
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;
  ~Daemon() {
    if (child_.pid > 0 && !reaped_) {
      (void)testutil::sendSignal(child_.pid, kSigkill);
      (void)testutil::waitForExit(child_.pid, kTimeoutMs);
    }
  }
  bool started() const { return child_.pid > 0; }
  int pidNumber() const { return child_.pid; }
  std::string pid() const { return std::to_string(child_.pid); }

  std::string stderrUntil(std::string_view needle) {
    return testutil::readUntil(child_.err.get(), needle, kTimeoutMs);
  }
  std::string stderrToEnd() { return testutil::readAll(child_.err.get(), kTimeoutMs); }
  void signal(int n) { ASSERT_TRUE(testutil::sendSignal(child_.pid, n).has_value()); }
  // The exit status, or -1 when the daemon did not end in time or ended by a
  // signal.
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

inline std::string ownedRun(const testutil::TempDir& dir) {
  return "Foreground = yes\nPidFile = " + dir.file("q.pid") + "\n";
}

inline std::size_t count(std::string_view text, std::string_view needle) {
  std::size_t n = 0;
  for (auto at = text.find(needle); at != std::string_view::npos;
       at = text.find(needle, at + needle.size())) {
    ++n;
  }
  return n;
}

// A loopback port free at the time of the call, for a listener of the daemon.
inline std::uint16_t freePort() {
  auto any = platform::parseIpLiteral("127.0.0.1", 0);
  EXPECT_TRUE(any.has_value());
  auto listener = platform::TcpListener::listenOn(*any);
  EXPECT_TRUE(listener.has_value());
  auto bound = listener->localAddress();
  EXPECT_TRUE(bound.has_value());
  return platform::portOf(*bound);
}

// Reads the daemon's standard error into `seen` until it holds n copies of
// needle (or nothing more arrives in time); returns whether it does.
inline bool readUntilCount(Daemon& d, std::string& seen, std::string_view needle, std::size_t n) {
  while (count(seen, needle) < n) {
    std::string more = d.stderrUntil(needle);
    if (more.empty()) return false;
    seen += more;
  }
  return true;
}

}  // namespace quellsig::testing
