// The daemon's process set-up as seen from outside: the start in the
// background and its readiness handshake, the single-instance check, the
// pid file, the runtime directories and the drop to an unprivileged account.
// The tests run as root; the account is made for the suite and removed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/log_socket.h"
#include "platform/runtime_files.h"
#include "tests/daemon/daemon_process.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_account.h"

namespace quellsig {
namespace {

namespace fs = std::filesystem;
using testing::Daemon;
using testing::kSigterm;
using testing::ownedRun;

constexpr std::string_view kStarted = "listener[0] mode=verify\n";

std::string readText(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// The value of a "Name:" line of a /proc status file, inner tabs kept; ""
// when the file or the line is missing.
std::string statusLine(const std::string& status_path, std::string_view name) {
  std::istringstream in(readText(status_path));
  std::string line;
  const std::string key = std::string(name) + ":";
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0) {
      std::string value = line.substr(key.size());
      while (!value.empty() && value.front() == '\t') value.erase(0, 1);
      while (!value.empty() && value.back() == ' ') value.pop_back();
      return value;
    }
  }
  return "";
}

std::string procStatus(int pid, std::string_view name) {
  return statusLine("/proc/" + std::to_string(pid) + "/status", name);
}

// Running and not yet a zombie waiting for a parent that is not the test.
bool alive(int pid) {
  const std::string state = procStatus(pid, "State");
  return !state.empty() && state[0] != 'Z';
}

// Waits up to the daemon time-out for cond.
template <typename Cond>
bool eventually(Cond cond) {
  for (int waited = 0; waited < testing::kTimeoutMs; waited += 20) {
    if (cond()) return true;
    platform::sleepMillis(20);
  }
  return cond();
}

// A process id that just ended and was reaped.
int stalePid() {
  std::vector<std::string> argv = {"/bin/true"};
  auto child = testutil::spawnProcess(argv);
  if (!child) return 0;
  (void)testutil::waitForExit(child->pid, testing::kTimeoutMs);
  return child->pid;
}

class DaemonSetupTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { account_ = new testutil::TestAccount("qsh10d"); }
  static void TearDownTestSuite() {
    delete account_;
    account_ = nullptr;
  }

  std::string conf(const std::string& keys) {
    return dir_.write("c.conf", "Syslog = no\n" + keys);
  }
  // Stops a foreground daemon and checks that it ended well.
  void stop(Daemon& d) {
    d.signal(kSigterm);
    d.stderrToEnd();
    EXPECT_EQ(d.exitCode(), 0);
  }

  static testutil::TestAccount* account_;
  testutil::TempDir dir_{"dsetup"};
  const std::string pid_file_ = dir_.file("q.pid");
};

testutil::TestAccount* DaemonSetupTest::account_ = nullptr;

TEST_F(DaemonSetupTest, BackgroundStartExitsZeroOnceTheDaemonIsReady) {
  Daemon launcher({"-c", conf("PidFile = " + pid_file_ + "\n")});
  ASSERT_TRUE(launcher.started());
  EXPECT_EQ(launcher.exitCode(), 0);
  // Readiness is the last step of start-up: the pid file, written before
  // it, is there the moment the launching process has gone.
  const std::string text = readText(pid_file_);
  ASSERT_FALSE(text.empty()) << "the launching process exited before the daemon was ready";
  const int daemon = std::stoi(text);
  EXPECT_EQ(text, std::to_string(daemon) + "\n");
  EXPECT_NE(daemon, launcher.pidNumber());
  EXPECT_TRUE(alive(daemon));
  // Its standard streams are /dev/null, so the launcher's pipe saw nothing.
  EXPECT_EQ(launcher.stderrToEnd(), "");
  EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(daemon) + "/fd/2"), "/dev/null");

  ASSERT_TRUE(testutil::sendSignal(daemon, kSigterm).has_value());
  EXPECT_TRUE(eventually([&] { return !fs::exists(pid_file_) && !alive(daemon); }))
      << "the daemon removes its pid file and ends on SIGTERM";
}

TEST_F(DaemonSetupTest, StartupFailureAfterTheForkMakesTheLauncherExitOne) {
  ASSERT_TRUE(account_->ok());
  struct Case {
    const char* name;
    std::string user;
  } cases[] = {
      {"unknown account", "qsnosuchuser"},
      {"root", "root"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    Daemon launcher({"-c", conf("PidFile = " + pid_file_ + "\nUser = " + tc.user + "\n")});
    ASSERT_TRUE(launcher.started());
    const std::uint64_t start = platform::monotonicMillis();
    EXPECT_EQ(launcher.exitCode(), 1);
    EXPECT_LT(platform::monotonicMillis() - start, 5000u) << "the daemon's end is seen at once";
    EXPECT_FALSE(fs::exists(pid_file_)) << "a failed privilege drop removes the pid file";
  }
}

TEST_F(DaemonSetupTest, LivePidFileRefusesASecondInstance) {
  const std::string path = conf(ownedRun(dir_));
  Daemon first({"-c", path});
  ASSERT_TRUE(first.started());
  ASSERT_NE(first.stderrUntil(kStarted).find(kStarted), std::string::npos);

  Daemon second({"-c", path});
  ASSERT_TRUE(second.started());
  const std::string prefix = "quellsig[" + second.pid() + "]: ";
  EXPECT_EQ(second.stderrToEnd(),
            prefix + "pid file " + pid_file_ + " is held by live process " + first.pid() +
                "; refusing to start a second instance\n" + prefix +
                "fatal: exiting on AlreadyRunning\nerror: AlreadyRunning\n");
  EXPECT_EQ(second.exitCode(), 1);
  EXPECT_EQ(readText(pid_file_), first.pid() + "\n");
  stop(first);
}

TEST_F(DaemonSetupTest, StaleOrMeaninglessPidFilesAreIgnoredAndRewritten) {
  const std::string cases[] = {std::to_string(stalePid()) + "\n", "abc\n", "0\n", "-5\n"};
  for (const std::string& content : cases) {
    SCOPED_TRACE(content);
    dir_.write("q.pid", content);
    Daemon d({"-c", conf(ownedRun(dir_))});
    ASSERT_TRUE(d.started());
    const std::string startup = d.stderrUntil(kStarted);
    EXPECT_NE(startup.find(kStarted), std::string::npos) << startup;
    EXPECT_EQ(readText(pid_file_), d.pid() + "\n") << "the process started from the shell";
    stop(d);
    EXPECT_FALSE(fs::exists(pid_file_));
  }
}

TEST_F(DaemonSetupTest, PlantedLinkAtThePidPathIsNotFollowed) {
  const std::string target = dir_.write("target", "precious\n", 0600);
  fs::create_symlink(target, pid_file_);
  Daemon d({"-c", conf(ownedRun(dir_))});
  ASSERT_TRUE(d.started());
  const std::string startup = d.stderrUntil(kStarted);
  EXPECT_NE(startup.find("quellsig[" + d.pid() + "]: pid file write failed: error.NotRegularFile\n"),
            std::string::npos)
      << startup;
  EXPECT_NE(startup.find(kStarted), std::string::npos) << "start-up goes on: " << startup;
  stop(d);
  EXPECT_EQ(readText(target), "precious\n");
  EXPECT_EQ(fs::status(target).permissions(), fs::perms(0600));
  EXPECT_TRUE(fs::is_symlink(pid_file_)) << "a pid file never written is not removed either";
}

TEST_F(DaemonSetupTest, DropToTheUserTakesEffectAfterItsDirectoriesAreMade) {
  ASSERT_TRUE(account_->ok());
  const platform::Account ids = account_->ids();
  // The daemon, once unprivileged, must reach its directories to remove its
  // pid file at shutdown.
  fs::permissions(dir_.path(), fs::perms(0755));
  const std::string run = dir_.file("run");
  const std::string sockets = dir_.file("sockets");
  Daemon d({"-c", conf("Foreground = yes\nPidFile = " + run + "/q.pid\nUser = " +
                       account_->name() + "\nUMask = 077\n[listener:mta]\nSocket = unix:" +
                       sockets + "/q.sock\n")});
  ASSERT_TRUE(d.started());
  const std::string startup = d.stderrUntil("listener[0] mode=");
  ASSERT_NE(startup.find("listener[0] mode="), std::string::npos) << startup;

  const std::string uid = std::to_string(ids.uid);
  const std::string gid = std::to_string(ids.gid);
  // Every thread, the nameserver monitor's too, runs as the account.
  int threads = 0;
  for (const auto& task : fs::directory_iterator("/proc/" + d.pid() + "/task")) {
    const std::string status = (task.path() / "status").string();
    SCOPED_TRACE(status);
    ++threads;
    EXPECT_EQ(statusLine(status, "Uid"), uid + "\t" + uid + "\t" + uid + "\t" + uid);
    EXPECT_EQ(statusLine(status, "Gid"), gid + "\t" + gid + "\t" + gid + "\t" + gid);
    EXPECT_EQ(statusLine(status, "Groups"), "");
  }
  EXPECT_GE(threads, 2) << "the monitor thread was started before the drop";

  for (const std::string& made : {run, sockets}) {
    SCOPED_TRACE(made);
    auto id = platform::pathIdentity(made);
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(id->mode, 0755u) << "created 0755 whatever the umask";
    EXPECT_EQ(id->uid, ids.uid);
    EXPECT_EQ(id->gid, ids.gid);
  }
  auto pid = platform::pathIdentity(run + "/q.pid");
  ASSERT_TRUE(pid.has_value());
  EXPECT_EQ(pid->mode, 0644u);
  EXPECT_EQ(pid->uid, 0u) << "written as root, before the drop";
  EXPECT_EQ(readText(run + "/q.pid"), d.pid() + "\n");

  stop(d);
  EXPECT_FALSE(fs::exists(run + "/q.pid")) << "removed by the unprivileged daemon";
}

TEST_F(DaemonSetupTest, SharedTemporaryDirectoryIsNeverReOwned) {
  ASSERT_TRUE(account_->ok());
  auto before = platform::pathIdentity("/tmp");
  ASSERT_TRUE(before.has_value());
  const std::string pid_file = "/tmp/qsh10-" + std::to_string(platform::processId()) + ".pid";
  Daemon d({"-c", conf("Foreground = yes\nPidFile = " + pid_file + "\nUser = " +
                       account_->name() + "\n")});
  ASSERT_TRUE(d.started());
  const std::string startup = d.stderrUntil(kStarted);
  EXPECT_NE(startup.find("quellsig[" + d.pid() +
                         "]: chown /tmp: refusing to re-own a shared directory\n"),
            std::string::npos)
      << startup;
  EXPECT_EQ(readText(pid_file), d.pid() + "\n");
  stop(d);
  fs::remove(pid_file);  // root's file in a sticky directory: the daemon could not
  auto after = platform::pathIdentity("/tmp");
  ASSERT_TRUE(after.has_value());
  EXPECT_EQ(after->uid, before->uid);
  EXPECT_EQ(after->gid, before->gid);
  EXPECT_EQ(after->mode, before->mode);
}

}  // namespace
}  // namespace quellsig
