// The worker pool's life inside one process: start, wake, shutdown, and a
// thread that cannot be started after others already run.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include "config/generation_tracker.h"
#include "config/runtime_settings.h"
#include "daemon/worker_pool.h"
#include "platform/clock.h"
#include "platform/inet_address.h"
#include "platform/listen_socket.h"
#include "platform/pipe.h"
#include "tests/support/loopback_mta.h"
#include "tests/support/temp_dir.h"

namespace quellsig {
namespace {

using testing::LoopbackMta;

std::atomic<int> g_started{0};
int g_fail_at = -1;

Result<platform::Thread> startOrFail(std::function<void()> body) {
  if (g_started.load() == g_fail_at) return fail(Error::SystemResources);
  g_started++;
  return platform::Thread::start(std::move(body));
}

struct PoolFixture {
  RuntimeSettings settings = defaultRuntimeSettings();
  GenerationTracker tracker;
  testutil::TempDir dir{"pool"};
  std::atomic<int> reloads{0};

  WorkerPoolSetup setup(std::uint32_t count) {
    WorkerPoolSetup s;
    s.count = count;
    s.listeners = {ListenerSpec{dir.file("q.sock"), 0, true}};
    s.settings = &settings;
    s.tracker = &tracker;
    s.hooks = MilterHooks{};
    s.reload = [this] { reloads++; };
    s.start_thread = startOrFail;
    return s;
  }
};

TEST(WorkerPoolTest, WorkersServeAcknowledgeAndEndOnShutdown) {
  PoolFixture f;
  g_started = 0;
  g_fail_at = -1;
  auto pool = WorkerPool::start(f.setup(3));
  ASSERT_TRUE(pool.has_value()) << errorName(pool.error());
  EXPECT_EQ((*pool)->size(), 3u);
  auto mta = LoopbackMta::overUnix(f.dir.file("q.sock"));
  ASSERT_TRUE(mta.has_value());
  auto answer = mta->negotiate();
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->front(), 'O');

  // Every worker acknowledges a new generation once woken.
  f.tracker.advanceGeneration();
  for (int fd : (*pool)->wakeEnds()) ASSERT_TRUE(platform::sendWakeByte(fd).has_value());
  for (int i = 0; i < 500 && f.reloads.load() < 3; ++i) platform::sleepMillis(10);
  EXPECT_EQ(f.reloads.load(), 3);

  mta.reset();
  (*pool)->shutdown();
  EXPECT_FALSE(std::filesystem::exists(f.dir.file("q.sock")));
}

TEST(WorkerPoolTest, AThreadThatCannotStartEndsTheRunningOnesFirst) {
  for (int k : {0, 1, 2}) {
    SCOPED_TRACE(k);
    PoolFixture f;
    g_started = 0;
    g_fail_at = k;
    auto pool = WorkerPool::start(f.setup(3));
    ASSERT_FALSE(pool.has_value());
    EXPECT_EQ(pool.error(), Error::SystemResources);
    EXPECT_EQ(g_started.load(), k);
    // The workers that ran have drained and ended; nothing listens any more
    // and the socket file is gone.
    EXPECT_FALSE(std::filesystem::exists(f.dir.file("q.sock")));
    EXPECT_FALSE(LoopbackMta::overUnix(f.dir.file("q.sock"), 200).has_value());
  }
}

}  // namespace
}  // namespace quellsig
