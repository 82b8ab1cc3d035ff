// The Debian package: built by cpack from this build tree, unpacked into a
// scratch root, its programs run from there; lintian finds no error.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/packaging/command.h"
#include "tests/support/temp_dir.h"

namespace quellsig {
namespace {

using testing::onPath;
using testing::readFile;
using testing::runCommand;

namespace fs = std::filesystem;

constexpr int kTimeoutMs = 10000;
constexpr int kSigterm = 15;
constexpr int kSigkill = 9;

// Building the package takes most of this test's time, so one test builds it
// once and checks it in steps.
class DebianPackageTest : public ::testing::Test {
 protected:
  void build() {
    auto run = runCommand({QUELLSIG_CPACK, "-G", "DEB", "--config",
                           QUELLSIG_BIN_DIR "/CPackConfig.cmake", "-B", dir_.file("out")},
                          "", {}, 600000);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    ASSERT_TRUE(fs::is_regular_file(deb_)) << deb_;
    auto unpack = runCommand({"dpkg", "-x", deb_, root_});
    ASSERT_EQ(unpack.status, 0) << unpack.err;
  }
  void holdsTheProgramsPagesUnitAndConfiguration();
  void programsRunFromTheUnpackedRoot();

  testutil::TempDir dir_{"deb"};
  const std::string deb_ = dir_.file("out/quellsig_" QUELLSIG_VERSION "_amd64.deb");
  const std::string root_ = dir_.file("root");
};

void DebianPackageTest::holdsTheProgramsPagesUnitAndConfiguration() {
  for (const std::string path : {
           "usr/sbin/quellsig",
           "usr/sbin/quellsig-genkey",
           "usr/sbin/quellsig-testkey",
           "usr/bin/quellsig-check",
           "usr/bin/quellsig-sign",
           "usr/share/man/man5/quellsig.conf.5.gz",
           "usr/share/man/man8/quellsig.8.gz",
           "usr/lib/systemd/system/quellsig.service",
           "usr/share/doc/quellsig/examples/quellsig.conf",
           "usr/share/doc/quellsig/copyright",
           "etc/quellsig/quellsig.conf",
       }) {
    EXPECT_TRUE(fs::is_regular_file(fs::path(root_) / path)) << path;
  }
  const std::string unit = readFile(root_ + "/usr/lib/systemd/system/quellsig.service");
  EXPECT_NE(unit.find("\nExecStart=/usr/sbin/quellsig -c /etc/quellsig/quellsig.conf\n"),
            std::string::npos);

  // Every shared library a program needs comes from a package the package
  // depends on.
  auto depends = runCommand({"dpkg-deb", "-f", deb_, "Depends"});
  ASSERT_EQ(depends.status, 0);
  EXPECT_NE(depends.out.find("adduser"), std::string::npos) << depends.out;
  std::set<std::string> needed;
  for (const std::string program : {"usr/sbin/quellsig", "usr/sbin/quellsig-genkey",
                                    "usr/sbin/quellsig-testkey", "usr/bin/quellsig-check",
                                    "usr/bin/quellsig-sign"}) {
    auto dynamic = runCommand({"objdump", "-p", root_ + "/" + program});
    ASSERT_EQ(dynamic.status, 0) << program;
    std::stringstream lines(dynamic.out);
    for (std::string word; lines >> word;) {
      if (word == "NEEDED" && lines >> word) needed.insert(word);
    }
  }
  ASSERT_FALSE(needed.empty());
  for (const auto& soname : needed) {
    SCOPED_TRACE(soname);
    auto owner = runCommand({"dpkg-query", "-S", "*/" + soname});
    ASSERT_EQ(owner.status, 0) << owner.err;
    // "libssl3:amd64: /usr/lib/x86_64-linux-gnu/libssl.so.3"
    bool listed = false;
    std::stringstream lines(owner.out);
    for (std::string line; std::getline(lines, line);) {
      const std::string package = line.substr(0, line.find_first_of(":,"));
      listed = listed || depends.out.find(package) != std::string::npos;
    }
    EXPECT_TRUE(listed) << owner.out << "not in Depends: " << depends.out;
  }

  const std::string control = dir_.file("control");
  ASSERT_EQ(runCommand({"dpkg-deb", "-e", deb_, control}).status, 0);
  EXPECT_EQ(readFile(control + "/conffiles"), "/etc/quellsig/quellsig.conf\n");
  const std::string postinst = readFile(control + "/postinst");
  EXPECT_NE(postinst.find("adduser --system"), std::string::npos);
  EXPECT_NE(postinst.find("quellsig"), std::string::npos);
}

void DebianPackageTest::programsRunFromTheUnpackedRoot() {
  auto genkey = runCommand({root_ + "/usr/sbin/quellsig-genkey", "-s", "pkg", "-d",
                            "example.test", "-o", dir_.file("pkg.key")});
  EXPECT_EQ(genkey.status, 0) << genkey.err;
  EXPECT_TRUE(fs::is_regular_file(dir_.file("pkg.key")));
  EXPECT_NE(readFile(dir_.file("pkg.dns")).find("pkg._domainkey.example.test. IN TXT"),
            std::string::npos);

  // The packaged example, kept in the foreground with its pid file and its
  // listener moved into the scratch directory (later lines win).
  const std::string config = dir_.write(
      "q.conf", readFile(root_ + "/usr/share/doc/quellsig/examples/quellsig.conf") +
                    "\n[global]\nForeground = yes\nPidFile = " + dir_.file("q.pid") +
                    "\n[listener:mta]\nSocket = unix:" + dir_.file("m.sock") + "\n");
  const std::vector<std::string> argv = {root_ + "/usr/sbin/quellsig", "-c", config};
  auto child = testutil::spawnProcess(argv);
  ASSERT_TRUE(child.has_value());
  const std::string started = testutil::readUntil(child->err.get(), "listener[0] mode=verify", kTimeoutMs);
  EXPECT_NE(started.find("QuellSig starting"), std::string::npos) << started;
  ASSERT_TRUE(testutil::sendSignal(child->pid, kSigterm).has_value());
  auto status = testutil::waitForExit(child->pid, kTimeoutMs);
  ASSERT_TRUE(status.has_value());
  if (!*status) {
    (void)testutil::sendSignal(child->pid, kSigkill);
    (void)testutil::waitForExit(child->pid, kTimeoutMs);
    FAIL() << "the daemon did not end on SIGTERM";
  }
  EXPECT_FALSE((*status)->signaled);
  EXPECT_EQ((*status)->code, 0);
}

TEST_F(DebianPackageTest, BuildsInstallsRunsAndPassesLintian) {
  ASSERT_NO_FATAL_FAILURE(build());
  {
    SCOPED_TRACE("contents");
    holdsTheProgramsPagesUnitAndConfiguration();
  }
  {
    SCOPED_TRACE("programs");
    programsRunFromTheUnpackedRoot();
  }
  if (!onPath("lintian")) GTEST_SKIP() << "lintian is not installed";
  auto run = runCommand({"lintian", deb_}, "", {}, 300000);
  EXPECT_NE(run.status, -1) << run.err;
  std::stringstream lines(run.out);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_FALSE(line.starts_with("E: ")) << line;
  }
}

}  // namespace
}  // namespace quellsig
