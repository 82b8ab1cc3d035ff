// What `cmake --install` puts where, and the systemd unit it installs.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "config/config_file.h"
#include "config/daemon_config.h"
#include "tests/packaging/command.h"
#include "tests/support/temp_dir.h"

namespace quellsig {
namespace {

using testing::onPath;
using testing::readFile;
using testing::runCommand;

namespace fs = std::filesystem;

// One installation of this build tree into a scratch prefix for the suite.
class InstallTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<testutil::TempDir>("inst");
    prefix_ = dir_->file("usr");
    install_ = runCommand({QUELLSIG_CMAKE, "--install", QUELLSIG_BIN_DIR, "--prefix", prefix_});
  }
  static void TearDownTestSuite() { dir_.reset(); }
  void SetUp() override { ASSERT_EQ(install_.status, 0) << install_.out << install_.err; }

  static std::string unit() { return prefix_ + "/lib/systemd/system/quellsig.service"; }

  static std::unique_ptr<testutil::TempDir> dir_;
  static std::string prefix_;
  static testing::CommandRun install_;
};
std::unique_ptr<testutil::TempDir> InstallTest::dir_;
std::string InstallTest::prefix_;
testing::CommandRun InstallTest::install_;

TEST_F(InstallTest, EveryFileInItsPlace) {
  struct Case {
    std::string path;
    bool program;
  } cases[] = {
      {"sbin/quellsig", true},
      {"sbin/quellsig-testkey", true},
      {"sbin/quellsig-genkey", true},
      {"bin/quellsig-check", true},
      {"bin/quellsig-sign", true},
      {"share/man/man8/quellsig.8.gz", false},
      {"share/man/man5/quellsig.conf.5.gz", false},
      {"share/man/man1/quellsig-check.1.gz", false},
      {"share/man/man1/quellsig-sign.1.gz", false},
      {"share/man/man8/quellsig-testkey.8.gz", false},
      {"share/man/man8/quellsig-genkey.8.gz", false},
      {"share/doc/quellsig/postfix.md", false},
      {"share/doc/quellsig/examples/quellsig.conf", false},
      {"share/doc/quellsig/examples/quellsig-signing.conf", false},
      {"share/doc/quellsig/examples/SigningTable", false},
      {"share/doc/quellsig/examples/KeyTable", false},
      {"lib/systemd/system/quellsig.service", false},
      {"etc/quellsig/quellsig.conf", false},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.path);
    const fs::path p = fs::path(prefix_) / tc.path;
    ASSERT_TRUE(fs::is_regular_file(p));
    const bool executable = (fs::status(p).permissions() & fs::perms::others_exec) != fs::perms::none;
    EXPECT_EQ(executable, tc.program);
  }
  // The programs are the ones of this build tree.
  EXPECT_EQ(readFile(prefix_ + "/sbin/quellsig"), readFile(QUELLSIG_BIN_DIR "/daemon/quellsig"));
}

TEST_F(InstallTest, UnitStartsTheInstalledDaemonOnTheInstalledConfiguration) {
  const std::string text = readFile(unit());
  const std::string config = prefix_ + "/etc/quellsig/quellsig.conf";
  EXPECT_NE(text.find("\nExecStart=" + prefix_ + "/sbin/quellsig -c " + config + "\n"),
            std::string::npos);
  for (const std::string line : {
           "Type=forking",
           "ExecReload=/bin/kill -HUP $MAINPID",
           "User=quellsig",
           "NoNewPrivileges=yes",
           "ProtectSystem=strict",
           "ProtectHome=yes",
           "PrivateTmp=yes",
           "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6",
           "RuntimeDirectory=quellsig",
       }) {
    EXPECT_NE(text.find("\n" + line + "\n"), std::string::npos) << line;
  }
  // systemd learns the main process from the pid file the daemon writes, in
  // the runtime directory it creates; the service already runs as its
  // account, so the configuration must not ask for a privilege drop.
  auto file = readConfigFile(config);
  ASSERT_TRUE(file.has_value());
  auto parsed = parseDaemonConfig(*file);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_NE(text.find("\nPIDFile=" + parsed->pid_file + "\n"), std::string::npos);
  EXPECT_TRUE(parsed->pid_file.starts_with("/run/quellsig/"));
  EXPECT_FALSE(parsed->user.has_value());
}

TEST_F(InstallTest, SystemdAcceptsTheUnit) {
  if (!onPath("systemd-analyze")) GTEST_SKIP() << "systemd-analyze is not installed";
  // verify also opens the Documentation= pages: point man at the installed ones.
  std::vector<std::string> argv = {"systemd-analyze", "verify"};
  if (!onPath("man")) argv.push_back("--man=no");
  argv.push_back(unit());
  auto run = runCommand(argv, dir_->path().string(), {"MANPATH=" + prefix_ + "/share/man"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out + run.err, "");
}

}  // namespace
}  // namespace quellsig
