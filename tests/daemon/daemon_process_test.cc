// The daemon as a process: its command line, its configuration errors on
// standard error, its start-up records and its shutdown on a signal.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "tests/daemon/daemon_process.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace quellsig {
namespace {

using testing::Daemon;
using testing::kSighup;
using testing::kSigint;
using testing::kSigterm;
using testing::ownedRun;
using testing::kTimeoutMs;

// The lines of the exit report of an error, in the initial log settings.
std::string exitReport(const std::string& pid, std::string_view name) {
  return "quellfilt[" + pid + "]: fatal: exiting on " + std::string(name) +
         "\nerror: " + std::string(name) + "\n";
}

TEST(DaemonProcessTest, BadCommandLineIsAUsageError) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
  } cases[] = {
      {"no argument", {}},
      {"-c alone", {"-c"}},
      {"another first argument", {"-f", "x.conf"}},
      {"-c after another argument", {"x.conf", "-c"}},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    Daemon d(tc.args);
    ASSERT_TRUE(d.started());
    std::string err = d.stderrToEnd();
    EXPECT_EQ(d.exitCode(), 1);
    EXPECT_EQ(err, "quellfilt[" + d.pid() + "]: usage: quellsig -c <config-file>\n" +
                       exitReport(d.pid(), "InvalidArgument"));
  }
}

TEST(DaemonProcessTest, ConfigurationErrorsGoToStandardErrorAsQuellfilt) {
  testutil::TempDir dir;
  struct Case {
    const char* name;
    std::string text;      // empty: the file does not exist
    std::string messages;  // the records before the exit report, without "quellfilt[pid]: "
    std::string direct;    // the key-check line written straight to standard error
    const char* error;
  } cases[] = {
      {"missing file", "", "failed to load config " + dir.file("c.conf") + ": error.FileNotFound",
       "", "FileNotFound"},
      {"global key in a listener, syslog asked for",
       "Syslog = yes\nSyslogFacility = local3\n[listener:a]\nSocket = 1\nMaxHeaders = 10\n",
       "config: [listener:a] key \"MaxHeaders\" is a global key with no effect here; move it to "
       "[global]. Refusing to start\n"
       "config parse error: error.InvalidConfiguration",
       "config: [listener:a] key \"MaxHeaders\" is a global key with no effect here; move it to "
       "[global]. Refusing to start",
       "InvalidConfiguration"},
      {"host name in Socket", "Syslog = yes\n[listener:mta]\nSocket = inet:8891@localhost\n",
       "config: [listener:mta] Socket=inet:8891@localhost is not a valid listen address "
       "(error.InvalidHost) -- expected inet:port@ip or unix:/path\n"
       "config parse error: error.InvalidListenerSocket",
       "", "InvalidListenerSocket"},
      {"mode name", "Mode = Sign\n", "config parse error: error.InvalidMode", "", "InvalidMode"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    std::filesystem::remove(dir.file("c.conf"));
    if (!tc.text.empty()) dir.write("c.conf", tc.text);
    Daemon d({"-c", dir.file("c.conf")});
    ASSERT_TRUE(d.started());
    std::string err = d.stderrToEnd();
    EXPECT_EQ(d.exitCode(), 1);

    std::string prefix = "quellfilt[" + d.pid() + "]: ";
    std::string want;
    std::string_view messages = tc.messages;
    bool first = true;
    while (!messages.empty()) {
      auto lf = messages.find('\n');
      want += prefix + std::string(messages.substr(0, lf)) + "\n";
      if (first && !tc.direct.empty()) want += tc.direct + "\n";
      first = false;
      messages.remove_prefix(lf == std::string_view::npos ? messages.size() : lf + 1);
    }
    want += exitReport(d.pid(), tc.error);
    EXPECT_EQ(err, want);
  }
}

TEST(DaemonProcessTest, StandardErrorRecordsAreCutAndCleanedButTheDirectCopyIsNot) {
  testutil::TempDir dir;
  std::string key = "Bad\tKey" + std::string(3000, 'k');
  Daemon d({"-c", dir.write("c.conf", key + " = 1\n")});
  ASSERT_TRUE(d.started());
  std::string err = d.stderrToEnd();
  EXPECT_EQ(d.exitCode(), 1);

  std::string text = "config: [global] unrecognized key \"" + key + "\" (typo?); refusing to start";
  std::string record = "<19>quellfilt[" + d.pid() + "]: " + text;
  record.resize(1024);
  record.replace(record.find('\t'), 1, "_");
  // The priority part is not written to standard error.
  std::string want = record.substr(4) + "\n" + text + "\n";
  ASSERT_GE(err.size(), want.size());
  EXPECT_EQ(err.substr(0, want.size()), want);
}

std::string validConfig(const testutil::TempDir& dir) {
  return ownedRun(dir) +
         "Syslog = no\n"
         "AuthservID = mx.example\n"
         "MinimumKeyBits = 512\n"
         "[listener:verify]\n"
         "Socket = inet:8891@127.0.0.1\n"
         "[listener:sign]\n"
         "Socket = unix:" + dir.file("q.sock") + "\n"
         "Mode = both\n";
}

TEST(DaemonProcessTest, StartsLogsItsStartupAndShutsDownOnTermOrInt) {
  testutil::TempDir dir;
  std::string path = dir.write("c.conf", validConfig(dir));
  struct Case {
    const char* name;
    int signal;
  } cases[] = {{"SIGTERM", kSigterm}, {"SIGINT", kSigint}};
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    Daemon d({"-c", path, "ignored", "arguments"});
    ASSERT_TRUE(d.started());
    std::string prefix = "quellsig[" + d.pid() + "]: ";
    std::string startup = d.stderrUntil("mode=both\n");
    // The descriptor limit's record carries the machine's limits.
    const auto limit = startup.find(prefix + "file descriptor limit set to ");
    ASSERT_NE(limit, std::string::npos) << startup;
    startup.erase(limit, startup.find('\n', limit) + 1 - limit);
    EXPECT_EQ(startup,
              prefix + "MinimumKeyBits below the RFC 8301 minimum: using 1024 bits\n" + prefix +
                  "QuellSig starting, AuthservID=mx.example, MinimumKeyBits=1024, "
                  "listeners=2\n" +
                  prefix + "listener[0] mode=verify\n" + prefix + "listener[1] mode=both\n");
    d.signal(tc.signal);
    std::string rest = d.stderrToEnd();
    EXPECT_EQ(d.exitCode(), 0);
    EXPECT_EQ(rest, prefix + "shutdown signal " + std::to_string(tc.signal) +
                        " received, draining connections...\n");
  }
}

TEST(DaemonProcessTest, HangupReloadsAndTheDaemonRunsOn) {
  testutil::TempDir dir;
  Daemon d({"-c", dir.write("c.conf", ownedRun(dir) + "Syslog = no\n")});
  ASSERT_TRUE(d.started());
  const std::string prefix = "quellsig[" + d.pid() + "]: ";
  // The start-up records come after the signals are blocked.
  std::string startup = d.stderrUntil("listener[0] mode=verify\n");
  ASSERT_NE(startup.find("listener[0] mode=verify\n"), std::string::npos) << startup;
  d.signal(kSighup);
  // The first configuration waits until the workers, woken by the reload,
  // have acknowledged generation 2.
  EXPECT_EQ(d.stderrUntil("reclamation)\n"),
            prefix + "SIGHUP received, reloading configuration...\n" + prefix +
                "signing configuration reloaded (generation 2, 1 awaiting reclamation)\n");
  // A file that no longer parses is refused; the daemon goes on.
  dir.write("c.conf", ownedRun(dir) + "Syslog = no\nBogus = 1\n");
  d.signal(kSighup);
  EXPECT_EQ(d.stderrUntil("keeping previous\n"),
            prefix + "SIGHUP received, reloading configuration...\n" + prefix +
                "config: [global] unrecognized key \"Bogus\" (typo?); refusing to start\n"
                "config: [global] unrecognized key \"Bogus\" (typo?); refusing to start\n" +
                prefix + "reload: failed to parse config, keeping previous\n");
  d.signal(kSigterm);
  std::string rest = d.stderrToEnd();
  EXPECT_EQ(d.exitCode(), 0);
  EXPECT_EQ(rest, prefix + "shutdown signal 15 received, draining connections...\n");
  EXPECT_FALSE(std::filesystem::exists(dir.file("q.pid"))) << "the pid file goes at shutdown";
}

TEST(DaemonProcessTest, SigningConfigurationFailureIsFatalAtStartup) {
  testutil::TempDir dir;
  const std::string table = dir.write("SigningTable", "*@a.example k1\n");
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    const char* name;
    std::string listener_keys;
    std::string messages;  // after the record prefix
    std::string_view error;
  } cases[] = {
      {"table without partner", "SigningTable = " + table + "\n",
       "SigningTable is set without a KeyTable: nothing can be signed through it\n",
       "SigningTableWithoutKeyTable"},
      {"missing table file",
       "SigningTable = " + dir.file("missing") + "\nKeyTable = " + dir.file("missing") + "\n",
       "SigningTable " + dir.file("missing") + " could not be read: error.FileNotFound\n",
       "FileNotFound"},
      {"FIFO as table file", "SigningTable = " + fifo + "\nKeyTable = " + fifo + "\n",
       "SigningTable " + fifo + " could not be read: error.NotRegularFile\n", "NotRegularFile"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    const std::string path = dir.write(
        "c.conf", "Syslog = no\n[listener:a]\nSocket = inet:8891@127.0.0.1\n" + tc.listener_keys);
    Daemon d({"-c", path});
    ASSERT_TRUE(d.started());
    const std::string err = d.stderrToEnd();
    EXPECT_EQ(d.exitCode(), 1);
    const std::string prefix = "quellsig[" + d.pid() + "]: ";
    std::string want = tc.messages.empty() ? "" : prefix + tc.messages;
    want += prefix + "failed to load signing configuration: error." + std::string(tc.error) + "\n" +
            prefix + "fatal: exiting on " + std::string(tc.error) +
            "\nerror: " + std::string(tc.error) + "\n";
    EXPECT_EQ(err, want);
  }
}

TEST(DaemonProcessTest, FifoAsConfigurationFileFailsInsteadOfHanging) {
  testutil::TempDir dir;
  const std::string fifo = dir.file("c.conf");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  Daemon d({"-c", fifo});
  ASSERT_TRUE(d.started());
  const std::string err = d.stderrToEnd();
  EXPECT_EQ(d.exitCode(), 1);
  EXPECT_EQ(err, "quellfilt[" + d.pid() + "]: failed to load config " + fifo +
                     ": error.NotRegularFile\n" + exitReport(d.pid(), "NotRegularFile"));
}

// Started with 0, 1 and 2 closed, the daemon puts /dev/null on them before it
// makes any descriptor of its own; otherwise its syslog socket or a DNS
// socket would become standard error and receive the exit report.
TEST(DaemonProcessTest, ClosedStandardDescriptorsAreOpenedOnDevNull) {
  testutil::TempDir dir;
  const std::string conf = dir.write("c.conf", ownedRun(dir) + "Syslog = no\n");
  auto child = testutil::spawnProcess(std::vector<std::string>{
      "/bin/sh", "-c", "exec \"$0\" -c \"$1\" <&- >&- 2>&-", QUELLSIG_BIN_DIR "/daemon/quellsig",
      conf});
  ASSERT_TRUE(child.has_value());
  const std::string fds = "/proc/" + std::to_string(child->pid) + "/fd/";
  auto target = [&](int fd) {
    std::error_code ec;
    return std::filesystem::read_symlink(fds + std::to_string(fd), ec).string();
  };
  // The shell execs the daemon; wait until the daemon runs and its monitor
  // thread has had time to make its sockets.
  std::string exe;
  for (int i = 0; i < 500 && exe.find("quellsig") == std::string::npos; ++i) {
    std::error_code ec;
    exe = std::filesystem::read_symlink("/proc/" + std::to_string(child->pid) + "/exe", ec).string();
    platform::sleepMillis(10);
  }
  platform::sleepMillis(300);
  for (int fd = 0; fd <= 2; ++fd) {
    SCOPED_TRACE(fd);
    EXPECT_EQ(target(fd), "/dev/null");
  }
  ASSERT_TRUE(testutil::sendSignal(child->pid, kSigterm).has_value());
  auto st = testutil::waitForExit(child->pid, kTimeoutMs);
  ASSERT_TRUE(st && *st);
  EXPECT_FALSE((*st)->signaled);
  EXPECT_EQ((*st)->code, 0);
}

TEST(DaemonProcessTest, NameserverThatIsNoAddressIsFatalAndNamed) {
  testutil::TempDir dir;
  Daemon d({"-c", dir.write("c.conf", "Syslog = no\nDnsNameserver = 127.0.0.1, ns1.example\n")});
  ASSERT_TRUE(d.started());
  const std::string err = d.stderrToEnd();
  EXPECT_EQ(d.exitCode(), 1);
  const std::string prefix = "quellsig[" + d.pid() + "]: ";
  EXPECT_EQ(err, prefix + "invalid DnsNameserver entry ns1.example: not an IPv4 or IPv6 address\n" +
                     prefix + "fatal: exiting on InvalidNameserver\nerror: InvalidNameserver\n");
}

TEST(DaemonProcessTest, MonitorSetUpFailureIsAWarningAndTheDaemonRuns) {
  testutil::TempDir dir;
  // Nine servers are more than the monitor watches; lookups then ask them all.
  std::string servers = "127.0.0.1";
  for (int i = 2; i <= 9; ++i) servers += ", 127.0.0." + std::to_string(i);
  Daemon d({"-c",
            dir.write("c.conf", ownedRun(dir) + "Syslog = no\nDnsNameserver = " + servers + "\n")});
  ASSERT_TRUE(d.started());
  const std::string prefix = "quellsig[" + d.pid() + "]: ";
  std::string startup = d.stderrUntil("listener[0] mode=verify\n");
  EXPECT_EQ(startup.rfind(prefix + "DNS health monitor init failed: error.InvalidServerCount, "
                                   "falling back to reactive\n",
                          0),
            0u)
      << startup;
  EXPECT_NE(startup.find("QuellSig starting"), std::string::npos) << startup;
  d.signal(kSigterm);
  d.stderrToEnd();
  EXPECT_EQ(d.exitCode(), 0);
}

}  // namespace
}  // namespace quellsig
