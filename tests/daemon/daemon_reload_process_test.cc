// The daemon's workers and SIGHUP as processes: each worker acknowledges a
// reload once, a failed reload wakes nobody, and listeners made after the
// privilege drop cannot take a port below 1024.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "tests/daemon/daemon_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_account.h"

namespace quellsig {
namespace {

namespace fs = std::filesystem;
using testing::count;
using testing::Daemon;
using testing::freePort;
using testing::kSighup;
using testing::kSigterm;
using testing::ownedRun;
using testing::readUntilCount;

constexpr std::string_view kAcknowledged = "worker: config reload acknowledged\n";

TEST(DaemonReloadTest, EachWorkerAcknowledgesAReloadOnceAndAFailureWakesNobody) {
  testutil::TempDir dir("drl");
  const std::string listener =
      "[listener:mta]\nSocket = inet:" + std::to_string(freePort()) + "@127.0.0.1\n";
  const std::string good = ownedRun(dir) + "Syslog = no\nLogLevel = debug\nWorkerThreads = 3\n";
  const std::string conf = dir.write("c.conf", good + listener);
  Daemon d({"-c", conf});
  ASSERT_TRUE(d.started());
  const std::string prefix = "quellsig[" + d.pid() + "]: ";
  std::string seen = d.stderrUntil("mode=verify\n");
  ASSERT_NE(seen.find("mode=verify\n"), std::string::npos) << seen;
  seen.clear();

  // Idle workers wake on their wake pipes and acknowledge at once.
  d.signal(kSighup);
  ASSERT_TRUE(readUntilCount(d, seen, kAcknowledged, 3)) << seen;
  // The record follows the wake bytes, so it may come after the acknowledgements.
  ASSERT_TRUE(readUntilCount(
      d, seen, prefix + "signing configuration reloaded (generation 2, 1 awaiting reclamation)\n",
      1))
      << seen;

  // A failed reload advances the generation without waking anyone; the next
  // good one wakes each worker once for both.
  dir.write("c.conf", good + "Bogus = 1\n" + listener);
  d.signal(kSighup);
  ASSERT_TRUE(readUntilCount(d, seen, "keeping previous\n", 1)) << seen;
  dir.write("c.conf", good + listener);
  d.signal(kSighup);
  ASSERT_TRUE(readUntilCount(d, seen, kAcknowledged, 6)) << seen;
  // Every worker had passed generation 2, so only the one just replaced waits.
  ASSERT_TRUE(readUntilCount(
      d, seen, prefix + "signing configuration reloaded (generation 4, 1 awaiting reclamation)\n",
      1))
      << seen;

  d.signal(kSigterm);
  seen += d.stderrToEnd();
  EXPECT_EQ(d.exitCode(), 0);
  EXPECT_EQ(count(seen, kAcknowledged), 6u) << seen;
}

TEST(DaemonReloadTest, LowPortAfterTheDropFailsWithAccessDeniedAndRemovesThePidFile) {
  testutil::TestAccount account("qsh10r");
  ASSERT_TRUE(account.ok());
  testutil::TempDir dir("drl");
  fs::permissions(dir.path(), fs::perms(0755));
  Daemon d({"-c", dir.write("c.conf", ownedRun(dir) + "Syslog = no\nUser = " + account.name() +
                                          "\n[listener:mta]\nSocket = inet:1000@127.0.0.1\n")});
  ASSERT_TRUE(d.started());
  const std::string err = d.stderrToEnd();
  EXPECT_EQ(d.exitCode(), 1);
  const std::string tail = "quellsig[" + d.pid() + "]: fatal: exiting on AccessDenied\n" +
                           "error: AccessDenied\n";
  ASSERT_GE(err.size(), tail.size()) << err;
  EXPECT_EQ(err.substr(err.size() - tail.size()), tail) << err;
  EXPECT_FALSE(fs::exists(dir.file("q.pid"))) << "written before the drop, removed on the failure";
}

}  // namespace
}  // namespace quellsig
