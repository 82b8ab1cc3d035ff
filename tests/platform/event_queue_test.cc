#include "platform/event_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "tests/support/datagram_socket.h"
#include "platform/log_socket.h"
#include "tests/support/private_dir.h"
#include "platform/exclusive_file.h"
#include "platform/pipe.h"
#include "platform/thread.h"

namespace quellsig::platform {
namespace {

Pipe makePipe() {
  auto p = createPipe({.nonblocking_read = true, .nonblocking_write = true});
  EXPECT_TRUE(p.has_value());
  return p ? std::move(*p) : Pipe{};
}

EventQueue makeQueue() {
  auto q = EventQueue::create();
  if (!q) {
    ADD_FAILURE() << errorName(q.error());
    std::abort();
  }
  return std::move(*q);
}

std::vector<ReadyEvent> waitFor(EventQueue& q, std::optional<std::uint32_t> timeout_ms) {
  auto events = q.wait(timeout_ms);
  EXPECT_TRUE(events.has_value()) << errorName(events.error());
  if (!events) return {};
  return {events->begin(), events->end()};
}

// Fills a non-blocking pipe until the system refuses more.
void fill(int write_end) {
  const std::string chunk(4096, 'x');
  while (writeAll(write_end, chunk).has_value()) {
  }
}

TEST(EventQueueTest, ReadIsReportedOncePerArrivalOfData) {
  EventQueue q = makeQueue();
  Pipe p = makePipe();
  ASSERT_TRUE(q.registerRead(p.read_end.get()).has_value());
  EXPECT_EQ(q.pendingChanges(), 1u);
  EXPECT_TRUE(waitFor(q, 0).empty());
  EXPECT_EQ(q.pendingChanges(), 0u);

  ASSERT_TRUE(sendWakeByte(p.write_end.get()).has_value());
  EXPECT_EQ(waitFor(q, 0), (std::vector<ReadyEvent>{{p.read_end.get(), Readiness::Read}}));
  // The byte is still unread, but nothing new arrived.
  EXPECT_TRUE(waitFor(q, 0).empty());
  ASSERT_TRUE(sendWakeByte(p.write_end.get()).has_value());
  EXPECT_EQ(waitFor(q, 0).size(), 1u);

  // End of file is an arrival too.
  p.write_end.reset();
  EXPECT_EQ(waitFor(q, 0), (std::vector<ReadyEvent>{{p.read_end.get(), Readiness::Read}}));
  EXPECT_TRUE(waitFor(q, 0).empty());
}

TEST(EventQueueTest, WriteRegistrationFiresOnceUntilAddedAgain) {
  EventQueue q = makeQueue();
  Pipe p = makePipe();
  fill(p.write_end.get());
  ASSERT_TRUE(q.registerWrite(p.write_end.get()).has_value());
  EXPECT_TRUE(waitFor(q, 0).empty()) << "a full pipe is not writable";

  drainPipe(p.read_end.get());
  auto events = waitFor(q, 1000);
  EXPECT_EQ(events, (std::vector<ReadyEvent>{{p.write_end.get(), Readiness::Write}}));
  // Still writable, but the registration is used up.
  EXPECT_TRUE(waitFor(q, 0).empty());
  ASSERT_TRUE(sendWakeByte(p.write_end.get()).has_value());
  EXPECT_TRUE(waitFor(q, 0).empty());

  ASSERT_TRUE(q.registerWrite(p.write_end.get()).has_value());
  EXPECT_EQ(waitFor(q, 0), (std::vector<ReadyEvent>{{p.write_end.get(), Readiness::Write}}));
  EXPECT_TRUE(waitFor(q, 0).empty());
}

// One descriptor registered both ways (a bound datagram socket is always
// writable and readable when a datagram waits): the write registration fires
// once without disturbing the read registration, and re-arming it after the
// data was read does not repeat the read event.
TEST(EventQueueTest, ReadAndWriteRegistrationsOfOneDescriptorStayApart) {
  auto dir = testutil::PrivateDir::create("evq");
  ASSERT_TRUE(dir.has_value());
  const std::string path = dir->path() + "/s";
  auto sock = testutil::bindDatagramSocket(path);
  ASSERT_TRUE(sock.has_value());
  auto sender = connectLogSocket(path);
  ASSERT_TRUE(sender.has_value());
  const int fd = sock->get();
  const std::vector<ReadyEvent> readable{{fd, Readiness::Read}}, writable{{fd, Readiness::Write}};

  EventQueue q = makeQueue();
  ASSERT_TRUE(q.registerRead(fd).has_value());
  ASSERT_TRUE(q.registerWrite(fd).has_value());
  EXPECT_EQ(waitFor(q, 0), writable);
  EXPECT_TRUE(waitFor(q, 0).empty());

  sendRecord(sender->get(), "one");
  EXPECT_EQ(waitFor(q, 0), readable);
  auto got = testutil::receiveDatagram(fd, 0);
  ASSERT_TRUE(got.has_value() && got->has_value());

  ASSERT_TRUE(q.registerWrite(fd).has_value());
  EXPECT_EQ(waitFor(q, 0), writable);
  EXPECT_TRUE(waitFor(q, 0).empty());
  sendRecord(sender->get(), "two");
  EXPECT_EQ(waitFor(q, 0), readable);
  EXPECT_TRUE(waitFor(q, 0).empty());
}

// More changes than the list holds, and more ready descriptors than one wait
// returns: every registration takes effect and every event comes exactly
// once, 64 at a time.
TEST(EventQueueTest, BatchesChangesAndCapsEventsPerWait) {
  EventQueue q = makeQueue();
  constexpr std::size_t kPipes = 130;
  std::vector<Pipe> pipes;
  for (std::size_t i = 0; i < kPipes; ++i) {
    pipes.push_back(makePipe());
    ASSERT_TRUE(sendWakeByte(pipes.back().write_end.get()).has_value());
  }
  for (std::size_t i = 0; i < kPipes; ++i) {
    ASSERT_TRUE(q.registerRead(pipes[i].read_end.get()).has_value());
    EXPECT_LE(q.pendingChanges(), EventQueue::kMaxChanges);
  }
  EXPECT_EQ(q.pendingChanges(), kPipes - EventQueue::kMaxChanges);

  std::multiset<int> seen;
  std::vector<std::size_t> sizes;
  for (int round = 0; round < 4; ++round) {
    auto events = waitFor(q, 0);
    sizes.push_back(events.size());
    for (const auto& e : events) {
      EXPECT_EQ(e.kind, Readiness::Read);
      seen.insert(e.fd);
    }
  }
  EXPECT_EQ(sizes, (std::vector<std::size_t>{64, 64, 2, 0}));
  ASSERT_EQ(seen.size(), kPipes);
  for (const auto& p : pipes) EXPECT_EQ(seen.count(p.read_end.get()), 1u) << p.read_end.get();
}

TEST(EventQueueTest, WaitHonoursItsTimeLimitAndWakesOnAnEvent) {
  EventQueue q = makeQueue();
  Pipe p = makePipe();
  ASSERT_TRUE(q.registerRead(p.read_end.get()).has_value());

  std::uint64_t start = monotonicNanos();
  EXPECT_TRUE(waitFor(q, 300).empty());
  std::uint64_t elapsed_ms = (monotonicNanos() - start) / 1000000;
  EXPECT_GE(elapsed_ms, 290u);
  EXPECT_LT(elapsed_ms, 5000u);

  // Without a limit the wait lasts until the event.
  auto writer = Thread::start([&] {
    sleepMillis(100);
    (void)sendWakeByte(p.write_end.get());
  });
  ASSERT_TRUE(writer.has_value());
  EXPECT_EQ(waitFor(q, std::nullopt),
            (std::vector<ReadyEvent>{{p.read_end.get(), Readiness::Read}}));
  writer->join();
}

TEST(EventQueueTest, AChangeForAClosedDescriptorDropsOnlyItself) {
  EventQueue q = makeQueue();
  Pipe a = makePipe(), b = makePipe(), c = makePipe();
  ASSERT_TRUE(q.registerRead(a.read_end.get()).has_value());
  ASSERT_TRUE(q.registerRead(b.read_end.get()).has_value());
  ASSERT_TRUE(q.registerWrite(b.write_end.get()).has_value());
  ASSERT_TRUE(q.registerRead(c.read_end.get()).has_value());
  b.read_end.reset();
  b.write_end.reset();
  ASSERT_TRUE(sendWakeByte(a.write_end.get()).has_value());
  ASSERT_TRUE(sendWakeByte(c.write_end.get()).has_value());
  auto events = waitFor(q, 0);
  std::set<int> fds;
  for (const auto& e : events) fds.insert(e.fd);
  EXPECT_EQ(fds, (std::set<int>{a.read_end.get(), c.read_end.get()}));
  EXPECT_EQ(q.pendingChanges(), 0u);
}

// Descriptor numbers that were registered, closed and handed out again are
// new registrations: they take effect, and the old write interest does not
// leak into them.
TEST(EventQueueTest, AReusedDescriptorNumberStartsAfresh) {
  EventQueue q = makeQueue();
  Pipe old_pipe = makePipe();
  fill(old_pipe.write_end.get());
  ASSERT_TRUE(q.registerRead(old_pipe.read_end.get()).has_value());
  ASSERT_TRUE(q.registerWrite(old_pipe.write_end.get()).has_value());
  EXPECT_EQ(waitFor(q, 0), (std::vector<ReadyEvent>{{old_pipe.read_end.get(), Readiness::Read}}));
  const int old_read = old_pipe.read_end.get(), old_write = old_pipe.write_end.get();
  old_pipe = Pipe{};

  Pipe fresh = makePipe();
  ASSERT_EQ(fresh.read_end.get(), old_read) << "the system reuses the lowest free numbers";
  ASSERT_EQ(fresh.write_end.get(), old_write);
  // The new write end is writable at once; only a write registration of its
  // own may report that.
  ASSERT_TRUE(q.registerRead(fresh.read_end.get()).has_value());
  ASSERT_TRUE(q.registerRead(fresh.write_end.get()).has_value());
  EXPECT_TRUE(waitFor(q, 0).empty());
  ASSERT_TRUE(sendWakeByte(fresh.write_end.get()).has_value());
  EXPECT_EQ(waitFor(q, 0), (std::vector<ReadyEvent>{{old_read, Readiness::Read}}));
  ASSERT_TRUE(q.registerWrite(fresh.write_end.get()).has_value());
  EXPECT_EQ(waitFor(q, 0), (std::vector<ReadyEvent>{{old_write, Readiness::Write}}));
}

// A backend whose apply() refuses as scripted, to show what the queue keeps.
struct ScriptedBackend {
  struct Script {
    std::vector<std::size_t> refuse_after;  // per apply call: consume this many, then fail
    std::vector<std::vector<int>> applied;  // descriptors consumed, per apply call
  };
  static inline Script* script = nullptr;

  static Result<std::unique_ptr<ScriptedBackend>> create() {
    return std::make_unique<ScriptedBackend>();
  }
  ApplyOutcome apply(std::span<const EventChange> changes) {
    ApplyOutcome out;
    std::size_t call = script->applied.size();
    std::size_t limit = call < script->refuse_after.size() ? script->refuse_after[call] : SIZE_MAX;
    script->applied.emplace_back();
    for (const auto& c : changes) {
      if (out.consumed == limit) {
        out.error = Error::SystemResources;
        break;
      }
      script->applied.back().push_back(c.fd);
      ++out.consumed;
    }
    return out;
  }
  Result<std::size_t> wait(std::span<ReadyEvent>, std::optional<std::uint32_t>) {
    return std::size_t{0};
  }
};

TEST(EventQueueTest, ARefusedSubmissionKeepsEveryChangeNotYetApplied) {
  ScriptedBackend::Script script;
  ScriptedBackend::script = &script;
  auto q = BasicEventQueue<ScriptedBackend>::create();
  ASSERT_TRUE(q.has_value());

  script.refuse_after = {1, 0};
  for (int fd : {10, 11, 12}) ASSERT_TRUE(q->registerRead(fd).has_value());
  auto first = q->wait(std::nullopt);
  ASSERT_FALSE(first.has_value());
  EXPECT_EQ(first.error(), Error::SystemResources);
  EXPECT_EQ(q->pendingChanges(), 2u);
  EXPECT_FALSE(q->wait(0).has_value());
  EXPECT_EQ(q->pendingChanges(), 2u);
  ASSERT_TRUE(q->registerWrite(13).has_value());
  ASSERT_TRUE(q->wait(0).has_value());
  EXPECT_EQ(q->pendingChanges(), 0u);
  EXPECT_EQ(script.applied, (std::vector<std::vector<int>>{{10}, {}, {11, 12, 13}}));

  // A full list that cannot be submitted refuses the new change and keeps
  // the others.
  script = {};
  script.refuse_after = {5};
  for (int fd = 0; fd < 128; ++fd) ASSERT_TRUE(q->registerRead(fd).has_value());
  auto extra = q->registerRead(500);
  ASSERT_FALSE(extra.has_value());
  EXPECT_EQ(extra.error(), Error::SystemResources);
  EXPECT_EQ(q->pendingChanges(), 123u);
  ASSERT_TRUE(q->registerRead(500).has_value());
  EXPECT_EQ(q->pendingChanges(), 124u);
  ASSERT_TRUE(q->wait(0).has_value());
  std::vector<int> all;
  for (const auto& call : script.applied) all.insert(all.end(), call.begin(), call.end());
  std::vector<int> expected;
  for (int fd = 0; fd < 128; ++fd) expected.push_back(fd);
  expected.push_back(500);
  EXPECT_EQ(all, expected);
  ScriptedBackend::script = nullptr;
}

TEST(PipeTest, EndsAreNonBlockingAsAskedAndWakeBytesNeverBlock) {
  Pipe p = makePipe();
  fill(p.write_end.get());
  EXPECT_TRUE(sendWakeByte(p.write_end.get()).has_value()) << "a full wake pipe is already awake";
  drainPipe(p.read_end.get());
  drainPipe(p.read_end.get());  // empty: returns at once instead of blocking
  EventQueue q = makeQueue();
  ASSERT_TRUE(q.registerRead(p.read_end.get()).has_value());
  EXPECT_TRUE(waitFor(q, 0).empty()) << "drained to the last byte";
}

}  // namespace
}  // namespace quellsig::platform
