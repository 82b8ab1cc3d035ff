// The daemon serving milter connections as a process over loopback: workers
// sharing an inet listener, a UNIX-domain listener served by the last worker,
// refusals at MaxConnections, the drain on SIGTERM and the socket files.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/inet_address.h"
#include "platform/thread.h"
#include "platform/listen_socket.h"
#include "tests/daemon/daemon_process.h"
#include "tests/support/loopback_mta.h"
#include "tests/support/temp_dir.h"

namespace quellsig {
namespace {

using testing::Daemon;
using testing::kSigterm;
using testing::LoopbackMta;

// A loopback port nothing listens on at the moment.
std::uint16_t freePort() {
  auto any = platform::parseIpLiteral("127.0.0.1", 0);
  EXPECT_TRUE(any.has_value());
  auto fd = platform::listenOnInet(*any);
  EXPECT_TRUE(fd.has_value());
  auto bound = platform::listeningAddress(fd->get());
  EXPECT_TRUE(bound.has_value());
  return platform::portOf(*bound);
}

std::string config(const testutil::TempDir& dir, const std::string& global,
                   const std::string& socket) {
  return testing::ownedRun(dir) + "Syslog = no\nLogLevel = debug\n" + global +
         "[listener:mta]\nSocket = " + socket + "\n";
}

// Starts the daemon and waits until its workers are about to start.
void waitForStart(Daemon& d) {
  ASSERT_TRUE(d.started());
  std::string startup = d.stderrUntil("mode=verify\n");
  ASSERT_NE(startup.find("mode=verify\n"), std::string::npos) << startup;
}

// Connects and negotiates, retrying while the listeners are not yet open.
std::optional<LoopbackMta> served(const std::function<std::optional<LoopbackMta>()>& connect) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    auto mta = connect();
    if (!mta) {
      platform::sleepMillis(10);
      continue;
    }
    if (auto answer = mta->negotiate(); answer && answer->front() == 'O') return mta;
    return std::nullopt;
  }
  return std::nullopt;
}

TEST(DaemonWorkersTest, WorkersShareAnInetListener) {
  testutil::TempDir dir("dw");
  const std::uint16_t port = freePort();
  // One connection per worker at most: every connection served at the same
  // time beyond the first is served by another worker.
  Daemon d({"-c", dir.write("c.conf", config(dir, "WorkerThreads = 4\nMaxConnections = 1\n",
                                             "inet:" + std::to_string(port) + "@127.0.0.1"))});
  waitForStart(d);
  auto connect = [&] { return LoopbackMta::overTcp("127.0.0.1", port, 2000); };
  std::vector<LoopbackMta> held;
  for (int i = 0; i < 40; ++i) {
    if (auto mta = served(connect)) held.push_back(std::move(*mta));
  }
  EXPECT_GE(held.size(), 2u);
  EXPECT_LE(held.size(), 4u);
  held.clear();
  d.signal(kSigterm);
  const std::string rest = d.stderrToEnd();
  EXPECT_EQ(d.exitCode(), 0);
  // The refusals name the workers that refused: more than one.
  constexpr std::string_view kTail = " is at MaxConnections=1\n";
  std::set<std::string> refusing;
  for (std::size_t at = rest.find("worker "); at != std::string::npos;
       at = rest.find("worker ", at + 1)) {
    if (rest.compare(at + 8, kTail.size(), kTail) == 0) refusing.insert(rest.substr(at, 8));
  }
  EXPECT_GE(refusing.size(), 2u) << rest;
}

TEST(DaemonWorkersTest, UnixListenerIsServedByTheLastWorker) {
  testutil::TempDir dir("dw");
  const std::string path = dir.file("q.sock");
  Daemon d({"-c", dir.write("c.conf", config(dir, "WorkerThreads = 3\nMaxConnections = 1\n",
                                             "unix:" + path))});
  waitForStart(d);
  auto connect = [&] { return LoopbackMta::overUnix(path, 2000); };
  auto first = served(connect);
  ASSERT_TRUE(first.has_value());
  auto second = LoopbackMta::overUnix(path, 5000);
  ASSERT_TRUE(second.has_value());
  EXPECT_TRUE(second->closedByFilter());
  EXPECT_NE(d.stderrUntil("refused 1 connection(s): worker 2 is at MaxConnections=1\n")
                .find("refused 1 connection(s): worker 2 is at MaxConnections=1\n"),
            std::string::npos);
  first.reset();
  d.signal(kSigterm);
  d.stderrToEnd();
  EXPECT_EQ(d.exitCode(), 0);
}

TEST(DaemonWorkersTest, ThirdConnectionBeyondMaxConnectionsIsRefusedWithTheWarning) {
  testutil::TempDir dir("dw");
  const std::uint16_t port = freePort();
  Daemon d({"-c", dir.write("c.conf", config(dir, "WorkerThreads = 1\nMaxConnections = 2\n",
                                             "inet:" + std::to_string(port) + "@127.0.0.1"))});
  waitForStart(d);
  auto connect = [&] { return LoopbackMta::overTcp("127.0.0.1", port, 5000); };
  auto a = served(connect);
  auto b = served(connect);
  ASSERT_TRUE(a && b);
  auto c = connect();
  ASSERT_TRUE(c.has_value());
  EXPECT_TRUE(c->closedByFilter());
  const std::string warning = "refused 1 connection(s): worker 0 is at MaxConnections=2\n";
  EXPECT_NE(d.stderrUntil(warning).find(warning), std::string::npos);
  // The two held connections are still served.
  EXPECT_TRUE(a->negotiate().has_value());
  EXPECT_TRUE(b->negotiate().has_value());
  a.reset();
  b.reset();
  d.signal(kSigterm);
  d.stderrToEnd();
  EXPECT_EQ(d.exitCode(), 0);
}

// The reply that ends a message, after the header changes queued before it
// (the evaluation inserts an Authentication-Results field).
char finalReply(LoopbackMta& mta) {
  for (;;) {
    const std::optional<std::string> reply = mta.readPacket();
    if (!reply || reply->empty()) return '\0';
    if (std::string_view("him").find((*reply)[0]) == std::string_view::npos) return (*reply)[0];
  }
}

// Several MTAs at once, each sending messages one after the other on its
// connection, spread over several workers; each unsigned message is
// answered "continue" behind its dkim=none result.
TEST(DaemonWorkersTest, ServesMessagesFromManyConnectionsAtOnce) {
  testutil::TempDir dir("dw");
  const std::uint16_t port = freePort();
  Daemon d({"-c", dir.write("c.conf", config(dir, "WorkerThreads = 3\n",
                                             "inet:" + std::to_string(port) + "@127.0.0.1"))});
  waitForStart(d);
  constexpr int kMtas = 8;
  constexpr int kMessages = 25;
  std::atomic<int> answered{0};
  std::vector<platform::Thread> mtas;
  for (int m = 0; m < kMtas; ++m) {
    auto t = platform::Thread::start([&] {
      auto mta = served([&] { return LoopbackMta::overTcp("127.0.0.1", port, 5000); });
      if (!mta) return;
      for (int i = 0; i < kMessages; ++i) {
        const std::string body(2048, 'x');
        bool ok = mta->sendPacket('M', std::string("<a@example.com>\0", 16)) &&
                  mta->readPacket() == "c" &&
                  mta->sendPacket('R', std::string("<b@example.net>\0", 16)) &&
                  mta->readPacket() == "c" &&
                  mta->sendPacket('L', std::string("Subject\0hi\0", 11)) &&
                  mta->readPacket() == "c" && mta->sendPacket('N') && mta->readPacket() == "c" &&
                  mta->sendPacket('B', body) && mta->readPacket() == "c" &&
                  mta->sendPacket('E') && finalReply(*mta) == 'c';
        if (!ok) return;
        answered++;
      }
      mta->sendPacket('Q');
    });
    ASSERT_TRUE(t.has_value());
    mtas.push_back(std::move(*t));
  }
  for (auto& t : mtas) t.join();
  EXPECT_EQ(answered.load(), kMtas * kMessages);
  d.signal(kSigterm);
  d.stderrToEnd();
  EXPECT_EQ(d.exitCode(), 0);
}

TEST(DaemonWorkersTest, TermWithoutConnectionsEndsAtOnceAndRemovesTheSocketFiles) {
  testutil::TempDir dir("dw");
  const std::string path = dir.file("q.sock");
  Daemon d({"-c", dir.write("c.conf", config(dir, "WorkerThreads = 2\n", "unix:" + path))});
  waitForStart(d);
  ASSERT_TRUE(served([&] { return LoopbackMta::overUnix(path, 2000); }).has_value());
  EXPECT_TRUE(std::filesystem::is_socket(path));
  d.signal(kSigterm);
  d.stderrToEnd();
  // No drain to wait for: well within the ordinary timeout.
  EXPECT_EQ(d.exitCode(), 0);
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(DaemonWorkersTest, MistypedUnixSocketLeavesTheFileThere) {
  testutil::TempDir dir("dw");
  const std::string precious = dir.write("precious.txt", "keep me\n");
  Daemon d({"-c", dir.write("c.conf", config(dir, "", "unix:" + precious))});
  ASSERT_TRUE(d.started());
  const std::string err = d.stderrToEnd();
  EXPECT_EQ(d.exitCode(), 1);
  EXPECT_NE(err.find("error: AddressInUse\n"), std::string::npos) << err;
  EXPECT_EQ(dir.read("precious.txt"), "keep me\n");
}

// Slow: the drain's deadline is 30 seconds.
TEST(DaemonWorkersTest, TermWithAnIdleConnectionDrainsForThirtySecondsThenClosesIt) {
  testutil::TempDir dir("dw");
  const std::string path = dir.file("q.sock");
  Daemon d({"-c", dir.write("c.conf", config(dir, "WorkerThreads = 1\n", "unix:" + path))});
  waitForStart(d);
  auto idle = served([&] { return LoopbackMta::overUnix(path, 40000); });
  ASSERT_TRUE(idle.has_value());
  d.signal(kSigterm);
  const auto signalled = platform::monotonicMillis();
  EXPECT_TRUE(idle->closedByFilter());
  const auto waited = platform::monotonicMillis() - signalled;
  EXPECT_GE(waited, 29000u);
  const std::string rest = d.stderrToEnd();
  EXPECT_EQ(d.exitCode(), 0);
  EXPECT_NE(rest.find("drain timeout, closing 1 remaining connections\n"), std::string::npos)
      << rest;
  EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace quellsig
