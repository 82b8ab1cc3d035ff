// Listening sockets, peer labels and the worker's event loop: accepting under
// MaxConnections with its refusal report, accept errors, the reload
// acknowledgement and the drain.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

#include "config/generation_tracker.h"
#include "config/runtime_settings.h"
#include "milter/listener.h"
#include "milter/peer_label.h"
#include "milter/thread_resolver.h"
#include "milter/worker.h"
#include "platform/clock.h"
#include "platform/inet_address.h"
#include "platform/listen_socket.h"
#include "platform/pipe.h"
#include "platform/thread.h"
#include "tests/support/log_capture.h"
#include "tests/support/loopback_mta.h"
#include "tests/support/temp_dir.h"

namespace quellsig {
namespace {

using testing::LogCapture;
using testing::LoopbackMta;

ListenerSpec unixSpec(const std::string& path) { return {path, 0, true}; }
ListenerSpec inetSpec(std::uint16_t port) { return {"127.0.0.1", port, false}; }

std::uint16_t boundPort(const Listener& l) {
  auto a = platform::listeningAddress(l.socket.get());
  EXPECT_TRUE(a.has_value());
  return a ? platform::portOf(*a) : 0;
}

TEST(ListenerTest, UnixPathsAreCheckedAndOnlySocketsAreReplaced) {
  testutil::TempDir dir("lst");
  const std::string regular = dir.write("quellsig.conf", "precious\n");

  struct Case {
    const char* name;
    std::string path;
    Error error;
  } refused[] = {
      {"104-byte path", "/" + std::string(103, 'p'), Error::NameTooLong},
      {"regular file at the path", regular, Error::AddressInUse},
      {"missing directory", dir.file("none/q.sock"), Error::FileNotFound},
  };
  for (const auto& tc : refused) {
    SCOPED_TRACE(tc.name);
    auto l = createListener(unixSpec(tc.path));
    ASSERT_FALSE(l.has_value());
    EXPECT_EQ(l.error(), tc.error);
  }
  EXPECT_EQ(dir.read("quellsig.conf"), "precious\n");

  // A socket left at the path is replaced; the last bind wins, and closing
  // removes the socket file.
  const std::string path = dir.file("q.sock");
  auto first = createListener(unixSpec(path));
  ASSERT_TRUE(first.has_value());
  auto second = createListener(unixSpec(path));
  ASSERT_TRUE(second.has_value());
  auto mta = LoopbackMta::overUnix(path);
  ASSERT_TRUE(mta.has_value());
  auto taken = platform::acceptConnection(second->socket.get());
  ASSERT_TRUE(taken.has_value());
  EXPECT_FALSE(taken->would_block);
  EXPECT_EQ(taken->family, platform::PeerFamily::Unix);
  closeListener(*second);
  EXPECT_FALSE(std::filesystem::exists(path));
  closeListener(*second);  // a second close does nothing

  // closeListener leaves a file that is no longer a socket alone.
  dir.write("q.sock", "replaced by hand\n");
  closeListener(*first);
  EXPECT_EQ(dir.read("q.sock"), "replaced by hand\n");
}

TEST(ListenerTest, InetListenersShareAnEndpoint) {
  auto a = createListener(inetSpec(0));
  ASSERT_TRUE(a.has_value());
  const std::uint16_t port = boundPort(*a);
  auto b = createListener(inetSpec(port));
  ASSERT_TRUE(b.has_value()) << errorName(b.error());
  EXPECT_EQ(boundPort(*b), port);

  auto host = createListener({"localhost", 8891, false});
  ASSERT_FALSE(host.has_value());
  EXPECT_EQ(host.error(), Error::InvalidHost);
}

TEST(PeerLabelTest, AddressesInTheirTextForms) {
  struct Case {
    const char* name;
    platform::PeerFamily family;
    std::string ip;  // parsed into the address bytes
    const char* label;
  } cases[] = {
      {"IPv4", platform::PeerFamily::Ipv4, "192.0.2.10", "192.0.2.10"},
      {"IPv4 zeros", platform::PeerFamily::Ipv4, "0.0.0.0", "0.0.0.0"},
      {"loopback", platform::PeerFamily::Ipv6, "0:0:0:0:0:0:0:1", "::1"},
      {"unspecified", platform::PeerFamily::Ipv6, "::", "::"},
      {"leading zeros dropped, lower case", platform::PeerFamily::Ipv6,
       "2001:0DB8:0000:0000:0000:0000:0000:0001", "2001:db8::1"},
      {"longest run compressed", platform::PeerFamily::Ipv6, "2001:db8:0:0:1:0:0:0",
       "2001:db8:0:0:1::"},
      {"first of equal runs", platform::PeerFamily::Ipv6, "2001:db8:0:0:1:0:0:1",
       "2001:db8::1:0:0:1"},
      {"a lone zero group stays", platform::PeerFamily::Ipv6, "2001:db8:0:1:1:1:1:1",
       "2001:db8:0:1:1:1:1:1"},
      {"no zeros", platform::PeerFamily::Ipv6, "fe80:1:2:3:4:5:6:ffff", "fe80:1:2:3:4:5:6:ffff"},
      {"mapped IPv4", platform::PeerFamily::Ipv6, "::ffff:192.0.2.1", "::ffff:192.0.2.1"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    auto a = platform::parseIpLiteral(tc.ip, 0);
    ASSERT_TRUE(a.has_value());
    std::array<std::uint8_t, 16> bytes{};
    // The address bytes sit where the system's socket address keeps them.
    if (tc.family == platform::PeerFamily::Ipv4) {
      std::copy_n(a->storage.begin() + 4, 4, bytes.begin());
    } else {
      std::copy_n(a->storage.begin() + 8, 16, bytes.begin());
    }
    const std::string label = peerLabel(tc.family, bytes);
    EXPECT_EQ(label, tc.label);
    EXPECT_LE(label.size(), kMaxPeerLabelLength);
  }
  EXPECT_EQ(peerLabel(platform::PeerFamily::Unix, {}), "local");
  EXPECT_EQ(peerLabel(platform::PeerFamily::Other, {}), "unknown");
}

// A clock the test moves by hand.
std::atomic<std::uint64_t> g_now{1'000'000};
std::uint64_t testClock() { return g_now.load(); }

// Accept results the test scripts; once the script is used up, the real
// accept.
std::vector<Result<platform::AcceptedConnection>>* g_script = nullptr;
Result<platform::AcceptedConnection> scriptedAccept(int fd) {
  if (g_script && !g_script->empty()) {
    auto r = std::move(g_script->front());
    g_script->erase(g_script->begin());
    return r;
  }
  return platform::acceptConnection(fd);
}

class WorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_now = 1'000'000;
    ASSERT_TRUE(tracker.createAcknowledgementSlots(1).has_value());
    auto pipe = platform::createPipe();
    ASSERT_TRUE(pipe.has_value());
    shutdown_read = std::move(pipe->read_end);
    shutdown_write = std::move(pipe->write_end);
    auto wake_pipe = platform::createPipe({.nonblocking_read = true, .nonblocking_write = true});
    ASSERT_TRUE(wake_pipe.has_value());
    wake_write = std::move(wake_pipe->write_end);
    wake_read = std::move(wake_pipe->read_end);
  }

  // A worker with one loopback inet listener (port in `port`).
  std::unique_ptr<Worker> makeWorker(std::uint32_t max_connections,
                                     std::function<void()> reload = {}) {
    WorkerSetup s;
    s.index = 0;
    s.shutdown_fd = shutdown_read.get();
    s.wake = std::move(wake_read);
    s.max_connections = max_connections;
    s.settings = &settings;
    s.tracker = &tracker;
    s.reload = std::move(reload);
    s.clock_ms = testClock;
    s.accept = scriptedAccept;
    const int wake_fd = s.wake.get();
    auto w = Worker::create(std::move(s));
    EXPECT_TRUE(w.has_value());
    if (!w) return nullptr;
    EXPECT_TRUE((*w)->registerRead(shutdown_read.get()).has_value());
    EXPECT_TRUE((*w)->registerRead(wake_fd).has_value());
    auto l = createListener(inetSpec(0));
    EXPECT_TRUE(l.has_value());
    if (!l) return nullptr;
    port = boundPort(*l);
    EXPECT_TRUE((*w)->addListener(std::move(*l)).has_value());
    return std::move(*w);
  }

  LoopbackMta connect() {
    auto mta = LoopbackMta::overTcp("127.0.0.1", port);
    EXPECT_TRUE(mta.has_value());
    return std::move(*mta);
  }

  // The negotiation answered by one pass of a worker that runs on the
  // test's thread.
  static bool servedBy(Worker& w, LoopbackMta& mta) {
    if (!mta.sendNegotiation() || !w.runOnce()) return false;
    auto answer = mta.readPacket();
    return answer && answer->front() == 'O';
  }

  void TearDown() override { g_script = nullptr; }

  RuntimeSettings settings = defaultRuntimeSettings();
  GenerationTracker tracker;
  platform::UniqueFd shutdown_read, shutdown_write, wake_read, wake_write;
  std::uint16_t port = 0;
};

TEST_F(WorkerTest, RefusalsBeyondMaxConnectionsAreReportedOncePerSecond) {
  LogCapture log;
  auto w = makeWorker(2);
  ASSERT_TRUE(w);
  std::vector<LoopbackMta> mtas;
  for (int i = 0; i < 3; ++i) mtas.push_back(connect());
  w->acceptOn(0);
  EXPECT_EQ(w->connectionCount(), 2u);
  EXPECT_TRUE(mtas[2].closedByFilter());
  EXPECT_EQ(log.count("refused 1 connection(s): worker 0 is at MaxConnections=2"), 1);

  // Within the second the count grows silently; the first accept loop that
  // ends after it reports everything refused meanwhile.
  g_now += 999;
  mtas.push_back(connect());
  mtas.push_back(connect());
  w->acceptOn(0);
  g_now += 1;
  mtas.push_back(connect());
  w->acceptOn(0);
  EXPECT_EQ(log.count("refused 3 connection(s): worker 0 is at MaxConnections=2"), 1);
  int refusal_records = 0;
  for (const auto& m : log.messages()) refusal_records += m.starts_with("refused ");
  EXPECT_EQ(refusal_records, 2);
  for (std::size_t i = 3; i < mtas.size(); ++i) EXPECT_TRUE(mtas[i].closedByFilter()) << i;
  // The two accepted connections are served.
  EXPECT_EQ(w->connectionCount(), 2u);
}

TEST_F(WorkerTest, AcceptGoesOnAfterALostConnectionAndRetriesAfterAShortage) {
  LogCapture log;
  auto w = makeWorker(8);
  ASSERT_TRUE(w);
  std::vector<Result<platform::AcceptedConnection>> script;
  script.push_back(fail(Error::ConnectionAborted));
  script.push_back(fail(Error::ProtocolFailure));
  g_script = &script;
  // Both lost connections cost nothing: the one behind them is accepted by
  // the same pass.
  auto first = connect();
  ASSERT_TRUE(w->runOnce());
  EXPECT_EQ(w->connectionCount(), 1u);
  EXPECT_EQ(log.count("accept error: error.ConnectionAborted"), 1);
  EXPECT_EQ(log.count("accept error: error.ProtocolFailure"), 1);
  EXPECT_TRUE(servedBy(*w, first));

  struct Case {
    const char* name;
    Error error;
    bool by_close;  // retried because a connection closed, else after a second
  } shortages[] = {
      {"descriptors of the process, then a close", Error::ProcessFdQuotaExceeded, true},
      {"descriptors of the system, then a second", Error::SystemFdQuotaExceeded, false},
      {"system resources, then a second", Error::SystemResources, false},
  };
  std::vector<LoopbackMta> open;
  open.push_back(std::move(first));
  for (const auto& tc : shortages) {
    SCOPED_TRACE(tc.name);
    log.clear();
    script.push_back(fail(tc.error));
    auto waiting = connect();
    ASSERT_TRUE(w->runOnce());
    EXPECT_EQ(log.count("accept error: " + std::string("error.") + std::string(errorName(tc.error))),
              1);
    const std::size_t before = w->connectionCount();
    // No new event comes for the waiting connection: the listener is
    // edge-triggered. The retry takes it.
    if (tc.by_close) {
      open.pop_back();
      ASSERT_TRUE(w->runOnce());  // the close is seen, and the retry follows
    } else {
      g_now += kAcceptRetryMs;
      ASSERT_TRUE(w->runOnce());  // the wait ends within the second
    }
    EXPECT_EQ(w->connectionCount(), tc.by_close ? before : before + 1);
    EXPECT_TRUE(servedBy(*w, waiting));
    open.push_back(std::move(waiting));
  }
}

TEST_F(WorkerTest, ServesReloadsAndDrainsOnItsThread) {
  std::atomic<int> reloads{0};
  auto w = makeWorker(8, [&] { reloads++; });
  ASSERT_TRUE(w);
  LogCapture log;
  auto thread = platform::Thread::start([&] { runWorker(*w); });
  ASSERT_TRUE(thread.has_value());

  auto mta = connect();
  auto answer = mta.negotiate();
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->front(), 'O');

  // A new generation and a wake byte: the idle worker acknowledges at once.
  tracker.advanceGeneration();
  ASSERT_TRUE(platform::sendWakeByte(wake_write.get()).has_value());
  for (int i = 0; i < 500 && reloads.load() == 0; ++i) platform::sleepMillis(10);
  EXPECT_EQ(reloads.load(), 1);
  // Nothing new: the next wake-up runs no hook.
  ASSERT_TRUE(platform::sendWakeByte(wake_write.get()).has_value());
  ASSERT_TRUE(mta.negotiate().has_value());
  EXPECT_EQ(reloads.load(), 1);

  // Shutdown: the listener closes, the open connection is still served until
  // the deadline, then closed with the warning.
  shutdown_write.reset();
  for (int i = 0; i < 500; ++i) {
    if (!LoopbackMta::overTcp("127.0.0.1", port, 200)) break;
    platform::sleepMillis(10);
  }
  EXPECT_FALSE(LoopbackMta::overTcp("127.0.0.1", port, 200).has_value());
  ASSERT_TRUE(mta.negotiate().has_value());
  g_now += kDrainMs;
  EXPECT_TRUE(mta.closedByFilter());
  thread->join();
  EXPECT_EQ(log.count("drain timeout, closing 1 remaining connections"), 1);
  EXPECT_EQ(w->connectionCount(), 0u);
  EXPECT_TRUE(w->listeners().empty());
}

TEST_F(WorkerTest, ADrainWithoutConnectionsEndsAtOnce) {
  auto w = makeWorker(8);
  ASSERT_TRUE(w);
  shutdown_write.reset();
  ASSERT_TRUE(w->runOnce());  // sees the shutdown, closes the listener
  EXPECT_TRUE(w->draining());
  EXPECT_FALSE(LoopbackMta::overTcp("127.0.0.1", port, 200).has_value());
  EXPECT_FALSE(w->runOnce());
}

TEST(ReloadHookTest, DiscardsTheThreadsResolverAndSaysSo) {
  LogCapture log;
  auto first = threadResolver();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(*threadResolver(), *first);  // one per thread
  acknowledgeReload();
  EXPECT_EQ(log.count("worker: config reload acknowledged"), 1);
  auto second = threadResolver();
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ((*second)->cache().size(), 0u);
  discardThreadResolver();
}

}  // namespace
}  // namespace quellsig
