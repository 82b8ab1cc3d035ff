// The daemon's process set-up steps, run as root: the single-instance check,
// the start in the background, owners and runtime directories, the pid file,
// the descriptor limit and the privilege drop. Steps that change the ids or
// the limits of the process run in a forked child, never in the test binary.
#include "daemon/process_setup.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/accounts.h"
#include "platform/clock.h"
#include "platform/exclusive_file.h"
#include "platform/inet_address.h"
#include "platform/limits.h"
#include "platform/log_socket.h"
#include "platform/process.h"
#include "platform/runtime_files.h"
#include "platform/tcp_stream.h"
#include "tests/support/child_process.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_account.h"

namespace quellsig {
namespace {

namespace fs = std::filesystem;

constexpr int kChildTimeoutMs = 20000;

// Runs body in a forked child and returns its exit status (-1: it did not
// end in time or ended by a signal). Records the child emits reach the
// parent's LogCapture, whose socket it inherits.
int inChild(const std::function<int()>& body) {
  auto pid = platform::forkProcess();
  if (!pid) return -2;
  if (*pid == 0) platform::exitImmediately(body());
  auto st = testutil::waitForExit(*pid, kChildTimeoutMs);
  if (!st || !*st) {
    (void)testutil::sendSignal(*pid, 9);
    (void)testutil::waitForExit(*pid, kChildTimeoutMs);
    return -1;
  }
  return (*st)->signaled ? -1 : (*st)->code;
}

class ProcessSetupTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { account_ = new testutil::TestAccount("qsh4t"); }
  static void TearDownTestSuite() {
    delete account_;
    account_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(account_->ok()) << "cannot create the test account " << account_->name();
  }

  const testutil::TestAccount& account() const { return *account_; }
  DirectoryOwner owner() const { return {account_->ids().uid, account_->ids().gid}; }
  platform::FileIdentity identity(const std::string& path) {
    auto id = platform::pathIdentity(path);
    EXPECT_TRUE(id.has_value()) << path;
    return id.value_or(platform::FileIdentity{});
  }

  static testutil::TestAccount* account_;
  testutil::TempDir dir_{"setup"};
  testing::LogCapture log_;
};

testutil::TestAccount* ProcessSetupTest::account_ = nullptr;

// A process id that just ended and was reaped.
int stalePid() {
  std::vector<std::string> argv = {"/bin/true"};
  auto child = testutil::spawnProcess(argv);
  if (!child) return 0;
  (void)testutil::waitForExit(child->pid, kChildTimeoutMs);
  return child->pid;
}

TEST_F(ProcessSetupTest, PidFileCheckRefusesOnlyALiveHolder) {
  std::vector<std::string> sleeper_argv = {"/bin/sleep", "30"};
  auto sleeper = testutil::spawnProcess(sleeper_argv);
  ASSERT_TRUE(sleeper.has_value());
  const std::string live = std::to_string(sleeper->pid);
  const std::string live_underscored = live.substr(0, 1) + "_" + live.substr(1);
  ASSERT_GT(live.size(), 1u);

  struct Case {
    std::string name;
    std::optional<std::string> content;  // nullopt: no file
    bool refused;
  } cases[] = {
      {"missing file", std::nullopt, false},
      {"empty", "", false},
      {"blank", " \t\r\n", false},
      {"letters", "abc\n", false},
      {"zero", "0\n", false},
      {"negative", "-5\n", false},
      {"beyond 32 bits", "4294967297\n", false},
      {"stale process", std::to_string(stalePid()) + "\n", false},
      {"this process", std::to_string(platform::processId()) + "\n", false},
      {"its parent", std::to_string(platform::parentProcessId()) + "\n", false},
      {"live process", live + "\n", true},
      {"live process, padded and signed", " \t+" + live + "\r\n", true},
      {"live process with an underscore between digits", live_underscored, true},
      {"trailing underscore", live + "_", false},
  };
  const std::string path = dir_.file("q.pid");
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    (void)platform::removeFile(path);
    if (tc.content) dir_.write("q.pid", *tc.content);
    log_.clear();
    auto r = checkPidFile(path);
    if (!tc.refused) {
      EXPECT_TRUE(r.has_value());
      EXPECT_TRUE(log_.messages().empty());
      continue;
    }
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), Error::AlreadyRunning);
    EXPECT_EQ(log_.messages(), std::vector<std::string>{"pid file " + path +
                                                        " is held by live process " + live +
                                                        "; refusing to start a second instance"});
  }
  EXPECT_TRUE(checkPidFile(std::string(1024, 'p')).has_value());
  (void)testutil::sendSignal(sleeper->pid, 9);
  (void)testutil::waitForExit(sleeper->pid, kChildTimeoutMs);
}

// The launching process (a child of the test) daemonizes; the daemon does
// what the row says; the launching process's exit status is the answer.
TEST_F(ProcessSetupTest, LaunchingProcessExitsZeroOnlyAfterTheReadinessByte) {
  struct Case {
    const char* name;
    std::function<void(platform::UniqueFd)> daemon;
    int launcher_status;
  } cases[] = {
      {"ready", [](platform::UniqueFd w) { signalReadiness(std::move(w)); }, 0},
      {"fails after the fork", [](platform::UniqueFd) {}, 1},
      {"another byte",
       [](platform::UniqueFd w) {
         const char x = 'X';
         (void)platform::writeAll(w.get(), std::span<const char>(&x, 1));
       },
       1},
      {"ready too late",
       [](platform::UniqueFd w) {
         platform::sleepMillis(1500);
         signalReadiness(std::move(w));
       },
       1},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    const std::string marker = dir_.file(std::string("daemon-") + std::to_string(&tc - cases));
    std::uint64_t start = platform::monotonicMillis();
    int status = inChild([&] {
      auto w = daemonize(500);
      if (!w) return 3;  // the launching process never gets here
      // The daemon: its own session, standard streams on /dev/null.
      (void)platform::writeAll(
          platform::createExclusiveFile(marker, 0644).value_or(platform::UniqueFd()).get(),
          std::to_string(platform::processId()));
      tc.daemon(std::move(*w));
      return 0;
    });
    EXPECT_EQ(status, tc.launcher_status);
    EXPECT_LT(platform::monotonicMillis() - start, 5000u);
    // The daemon ran, as a process of its own.
    for (int i = 0; i < 100 && dir_.read(marker.substr(marker.rfind('/') + 1)).empty(); ++i) {
      platform::sleepMillis(20);
    }
    EXPECT_FALSE(dir_.read(marker.substr(marker.rfind('/') + 1)).empty());
  }
  EXPECT_TRUE(log_.messages().empty());
}

TEST_F(ProcessSetupTest, ResolvesOwnersByNameOnly) {
  const platform::Account a = account().ids();
  const std::string user = account().name();
  struct Case {
    std::string spec;
    std::optional<Error> error;
    DirectoryOwner owner;
  } cases[] = {
      {user, std::nullopt, {a.uid, a.gid}},
      {"root:" + user, std::nullopt, {0, a.gid}},
      {user + ":root", std::nullopt, {a.uid, 0}},
      {"", Error::InvalidUserSpec, {}},
      {":root", Error::InvalidUserSpec, {}},
      {user + ":", Error::InvalidUserSpec, {}},
      {std::string(256, 'u'), Error::UsernameTooLong, {}},
      {std::string(255, 'u'), Error::UserNotFound, {}},
      {"root:" + std::string(256, 'g'), Error::GroupNameTooLong, {}},
      {"qsh4-no-such-user", Error::UserNotFound, {}},
      {std::to_string(a.uid), Error::UserNotFound, {}},
      {"root:qsh4-no-such-group", Error::GroupNotFound, {}},
      {"root:" + std::to_string(a.gid), Error::GroupNotFound, {}},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.spec.substr(0, 40));
    auto r = resolveOwner(tc.spec);
    if (tc.error) {
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error(), *tc.error) << errorName(r.error());
    } else {
      ASSERT_TRUE(r.has_value()) << errorName(r.error());
      EXPECT_EQ(r->uid, tc.owner.uid);
      EXPECT_EQ(r->gid, tc.owner.gid);
    }
  }
  EXPECT_FALSE(resolveDirectoryOwner(user + ":").has_value());
  EXPECT_EQ(log_.messages(), std::vector<std::string>{"resolving '" + user +
                                                      ":' for runtime directories failed: "
                                                      "error.InvalidUserSpec"});
}

TEST_F(ProcessSetupTest, RuntimeDirectoryIsCreated0755AndGivenToTheOwner) {
  const unsigned saved = platform::setUmask(077);
  const std::string fresh = dir_.file("run");
  ensureRuntimeDirectory(fresh + "/q.pid", owner());
  // An existing directory keeps its mode but changes hands.
  fs::create_directory(dir_.file("kept"));
  fs::permissions(dir_.file("kept"), fs::perms(0700), fs::perm_options::replace);
  ensureRuntimeDirectory(dir_.file("kept") + "/sock/", owner());
  // Without an owner nothing is re-owned.
  ensureRuntimeDirectory(dir_.file("plain") + "/q.pid", std::nullopt);
  platform::setUmask(saved);

  auto f = identity(fresh);
  EXPECT_TRUE(f.directory);
  EXPECT_EQ(f.mode, 0755u);
  EXPECT_EQ(f.uid, owner().uid);
  EXPECT_EQ(f.gid, owner().gid);
  auto k = identity(dir_.file("kept"));
  EXPECT_EQ(k.mode, 0700u);
  EXPECT_EQ(k.uid, owner().uid);
  auto p = identity(dir_.file("plain"));
  EXPECT_EQ(p.mode, 0755u);
  EXPECT_EQ(p.uid, 0u);
  EXPECT_TRUE(log_.messages().empty());
}

TEST_F(ProcessSetupTest, SharedDirectoriesAreNeverReOwned) {
  fs::create_directory(dir_.file("shared"));
  fs::permissions(dir_.file("shared"), fs::perms(01777), fs::perm_options::replace);
  const auto tmp_before = identity("/tmp");
  const auto root_before = identity("/");
  const std::vector<std::string> paths = {"/tmp/q.pid", "/q.pid", dir_.file("shared") + "/q.pid",
                                          "/var/tmp/q.sock"};
  prepareRuntimeDirectories(paths[0], std::span(paths).subspan(1), owner());
  EXPECT_EQ(identity("/tmp").uid, tmp_before.uid);
  EXPECT_EQ(identity("/tmp").mode, tmp_before.mode);
  EXPECT_EQ(identity("/").uid, root_before.uid);
  EXPECT_EQ(identity(dir_.file("shared")).uid, 0u);
  EXPECT_EQ(log_.messages(), (std::vector<std::string>{
                                 "chown /tmp: refusing to re-own a shared directory",
                                 "chown /: refusing to re-own a shared directory",
                                 "chown " + dir_.file("shared") +
                                     ": refusing to re-own a shared directory",
                                 "chown /var/tmp: refusing to re-own a shared directory",
                             }));
}

TEST_F(ProcessSetupTest, RuntimeDirectoryFailuresOnlyWarn) {
  dir_.write("file", "x");
  struct Case {
    std::string path;
    std::vector<std::string> messages;
  } cases[] = {
      {"q.pid", {}},
      {dir_.file("missing") + "/sub/q.pid",
       {"mkdir " + dir_.file("missing") + "/sub: error.FileNotFound",
        "open " + dir_.file("missing") + "/sub: error.FileNotFound"}},
      {dir_.file("file") + "/q.pid",
       {"open " + dir_.file("file") + ": error.NotDir"}},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.path.substr(0, 60));
    log_.clear();
    ensureRuntimeDirectory(tc.path, owner());
    EXPECT_EQ(log_.messages(), tc.messages);
  }
  EXPECT_EQ(identity(dir_.file("file")).uid, 0u);

  // A directory part of 1024 bytes is refused before any system call: one
  // warning (cut at the record size, so only its start shows) and no attempt
  // to open it for the owner.
  log_.clear();
  ensureRuntimeDirectory(std::string(1024, 'd') + "/q.pid", owner());
  ASSERT_EQ(log_.messages().size(), 1u);
  EXPECT_TRUE(log_.messages()[0].starts_with("mkdir ddd"));
}

TEST_F(ProcessSetupTest, PidFileIsARegularFile0644WithTheProcessId) {
  const std::string path = dir_.write("q.pid", "12345678901234567890 old text\n");
  const unsigned saved = platform::setUmask(0);
  ASSERT_TRUE(writePidFile(path).has_value());
  platform::setUmask(saved);
  EXPECT_EQ(dir_.read("q.pid"), std::to_string(platform::processId()) + "\n");
  EXPECT_EQ(identity(path).mode, 0644u);
  removePidFile(path);
  EXPECT_FALSE(fs::exists(path));
  removePidFile(path);  // already gone: ignored
  EXPECT_TRUE(log_.messages().empty());
}

// A link planted where the pid file goes must not make root overwrite its
// target; the refusal is reported and start-up goes on.
TEST_F(ProcessSetupTest, PidFileWriteRefusesLinksAndNonRegularFiles) {
  const std::string target = dir_.write("target", "precious\n", 0600);
  fs::create_symlink(target, dir_.file("link.pid"));
  fs::create_hard_link(target, dir_.file("hard.pid"));
  fs::create_directory(dir_.file("dir.pid"));
  struct Case {
    std::string path;
    Error error;
  } cases[] = {
      {dir_.file("link.pid"), Error::NotRegularFile},
      {dir_.file("hard.pid"), Error::NotRegularFile},
      {dir_.file("dir.pid"), Error::IsDir},
      {dir_.file("missing") + "/q.pid", Error::FileNotFound},
      {std::string(1024, 'p'), Error::NameTooLong},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.path.substr(0, 60));
    log_.clear();
    auto r = writePidFile(tc.path);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), tc.error) << errorName(r.error());
    EXPECT_EQ(log_.messages(), std::vector<std::string>{"pid file write failed: error." +
                                                        std::string(errorName(tc.error))});
  }
  EXPECT_EQ(dir_.read("target"), "precious\n");
  EXPECT_EQ(identity(target).mode, 0600u);
  EXPECT_TRUE(fs::is_symlink(dir_.file("link.pid")));
}

TEST_F(ProcessSetupTest, DescriptorLimitIsRaisedButNeverLowered) {
  EXPECT_EQ(descriptorRequest(2, 256, 1), 2u * (256 + 1 + 3 + 8) + 64);
  EXPECT_EQ(workerCount(3), 3u);
  EXPECT_EQ(workerCount(0), platform::cpuCount().value_or(4));

  constexpr std::int64_t kUnlimited = std::numeric_limits<std::int64_t>::max();
  struct Case {
    const char* name;
    std::uint64_t requested;
    platform::DescriptorLimits present;
    std::int64_t soft;
  } cases[] = {
      {"raised to the request", 600, {256, 4096}, 600},
      {"capped at the hard limit", 10000, {256, 4096}, 4096},
      {"never lowered", 600, {1024, 4096}, 1024},
      {"unlimited hard limit", 600, {256, kUnlimited}, 600},
      {"request beyond 63 bits", ~std::uint64_t{0}, {256, kUnlimited}, kUnlimited},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    EXPECT_EQ(plannedSoftLimit(tc.requested, tc.present), tc.soft);
  }

  auto present = platform::descriptorLimits();
  ASSERT_TRUE(present.has_value());
  ASSERT_GE(present->hard, 700);
  const std::string hard = std::to_string(present->hard);
  int status = inChild([] {
    if (!platform::setDescriptorSoftLimit(200)) return 2;
    raiseDescriptorLimit(600);
    if (platform::descriptorLimits().value_or(platform::DescriptorLimits{}).soft != 600) return 3;
    raiseDescriptorLimit(300);
    if (platform::descriptorLimits().value_or(platform::DescriptorLimits{}).soft != 600) return 4;
    return 0;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(log_.messages(),
            (std::vector<std::string>{
                "file descriptor limit set to 600 (requested 600, hard max " + hard + ")",
                "file descriptor limit set to 600 (requested 300, hard max " + hard + ")"}));
}

TEST_F(ProcessSetupTest, PrivilegeDropTakesEffectForGood) {
  const platform::Account a = account().ids();
  const std::string user = account().name();
  int status = inChild([&] {
    if (!dropPrivileges(user)) return 2;
    platform::ProcessIds ids = platform::currentIds();
    if (ids.real_uid != a.uid || ids.effective_uid != a.uid) return 3;
    if (ids.real_gid != a.gid || ids.effective_gid != a.gid) return 4;
    // No way back: the saved ids went too.
    if (platform::setUserId(0)) return 5;
    // A root-only file is out of reach now, and so is a port below 1024.
    if (platform::readFileHead("/etc/shadow", 1)) return 6;
    auto low = platform::parseIpLiteral("127.0.0.1", 1023);
    if (!low) return 7;
    auto listener = platform::TcpListener::listenOn(*low);
    if (listener || listener.error() != Error::AccessDenied) return 8;
    return 0;
  });
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(log_.messages().empty());
}

TEST_F(ProcessSetupTest, PrivilegeDropRefusalsAreFatalWithTheirRecord) {
  struct Case {
    std::string spec;
    Error error;
  } cases[] = {
      {"root", Error::RefusingToDropToRoot},
      {account().name() + ":", Error::InvalidUserSpec},
      {"qsh4-no-such-user", Error::UserNotFound},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.spec);
    log_.clear();
    auto r = dropPrivileges(tc.spec);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), tc.error);
    EXPECT_EQ(log_.messages(),
              std::vector<std::string>{"privilege drop to '" + tc.spec + "' failed: error." +
                                       std::string(errorName(tc.error))});
  }
  EXPECT_EQ(platform::currentIds().effective_uid, 0u);
}

}  // namespace
}  // namespace quellsig
