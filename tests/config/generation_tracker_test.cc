#include "config/generation_tracker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <thread>
#include <vector>

namespace quellsig {
namespace {

std::unique_ptr<const SigningConfig> emptyConfig() {
  auto config = loadSigningConfig({});
  EXPECT_TRUE(config.has_value());
  return std::move(*config);
}

TEST(GenerationTrackerTest, RetiredConfigurationsWaitForEverySlot) {
  // A multiset: the allocator may hand a freed configuration's address to a
  // later one, and each release must still count.
  std::multiset<const SigningConfig*> released;
  GenerationTracker tracker([&](const SigningConfig* c) {
    released.insert(c);
    delete c;
  });
  auto first = emptyConfig();
  const SigningConfig* c1 = first.get();
  ASSERT_TRUE(tracker.publish(std::move(first)).has_value());
  EXPECT_EQ(tracker.generation(), 1u);
  EXPECT_EQ(tracker.current(), c1);
  EXPECT_EQ(tracker.awaitingReclamation(), 0u);

  ASSERT_TRUE(tracker.createAcknowledgementSlots(2).has_value());
  auto second = emptyConfig();
  const SigningConfig* c2 = second.get();
  ASSERT_TRUE(tracker.publish(std::move(second)).has_value());
  EXPECT_EQ(tracker.generation(), 2u);
  EXPECT_EQ(tracker.awaitingReclamation(), 1u);  // both slots still hold 1
  EXPECT_TRUE(released.empty());

  // Idle workers woken after the reload: each later reload reclaims the one
  // replaced before it, leaving only the one just replaced.
  EXPECT_EQ(tracker.acknowledge(0), 2u);
  EXPECT_EQ(tracker.acknowledge(1), 2u);
  ASSERT_TRUE(tracker.publish(emptyConfig()).has_value());
  EXPECT_EQ(released, std::multiset<const SigningConfig*>{c1});
  EXPECT_EQ(tracker.awaitingReclamation(), 1u);

  // A failed reload advances the generation only; worker 1 lags behind.
  tracker.advanceGeneration();
  EXPECT_EQ(tracker.generation(), 4u);
  EXPECT_EQ(tracker.acknowledge(0), 4u);
  ASSERT_TRUE(tracker.publish(emptyConfig()).has_value());
  EXPECT_EQ(tracker.generation(), 5u);
  EXPECT_EQ(released.count(c2), 0u) << "worker 1 acknowledged only generation 2";
  EXPECT_EQ(tracker.awaitingReclamation(), 2u);

  tracker.acknowledge(1);
  ASSERT_TRUE(tracker.publish(emptyConfig()).has_value());
  EXPECT_EQ(released.count(c2), 1u);

  tracker.destroyAll();
  EXPECT_EQ(released.size(), 5u);
  EXPECT_EQ(tracker.current(), nullptr);
  EXPECT_EQ(tracker.awaitingReclamation(), 0u);
}

TEST(GenerationTrackerTest, WithoutSlotsTheReplacedOneGoesAtOnce) {
  int released = 0;
  GenerationTracker tracker([&](const SigningConfig* c) {
    ++released;
    delete c;
  });
  ASSERT_TRUE(tracker.publish(emptyConfig()).has_value());
  ASSERT_TRUE(tracker.publish(emptyConfig()).has_value());
  EXPECT_EQ(released, 1);
  EXPECT_EQ(tracker.awaitingReclamation(), 0u);
}

// Workers acknowledge, read current and use it, as an event loop does,
// while main publishes. A configuration released while a worker still holds
// it is caught by the release check (and by AddressSanitizer on use).
TEST(GenerationTrackerTest, StressNoConfigurationDiesWhileAWorkerHoldsIt) {
  constexpr std::size_t kWorkers = 4;
  constexpr int kPublications = 3000;
  std::atomic<const SigningConfig*> holding[kWorkers] = {};
  std::atomic<int> released{0};
  std::atomic<int> released_while_held{0};
  GenerationTracker tracker([&](const SigningConfig* c) {
    for (auto& h : holding) {
      if (h.load() == c) released_while_held.fetch_add(1);
    }
    released.fetch_add(1);
    delete c;
  });
  ASSERT_TRUE(tracker.publish(emptyConfig()).has_value());
  ASSERT_TRUE(tracker.createAcknowledgementSlots(kWorkers).has_value());

  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> iterations{0};
  std::vector<std::thread> workers;
  for (std::size_t i = 0; i < kWorkers; ++i) {
    workers.emplace_back([&, i] {
      std::uint64_t last = 0;
      while (!stop.load()) {
        const std::uint64_t g = tracker.acknowledge(i);
        EXPECT_GE(g, last);
        last = g;
        const SigningConfig* c = tracker.current();
        holding[i].store(c);
        // Touch the configuration the way the signing step would.
        EXPECT_TRUE(c->select(SigningSettings{}, "u@a.b").empty());
        EXPECT_FALSE(c->hasSigningTable());
        holding[i].store(nullptr);
        iterations.fetch_add(1);
      }
    });
  }
  for (int n = 0; n < kPublications; ++n) {
    ASSERT_TRUE(tracker.publish(emptyConfig()).has_value());
    if (n % 7 == 0) tracker.advanceGeneration();
  }
  stop.store(true);
  for (auto& w : workers) w.join();
  EXPECT_GT(iterations.load(), 0u);
  EXPECT_EQ(released_while_held.load(), 0);
  EXPECT_LE(tracker.awaitingReclamation(), static_cast<std::size_t>(kPublications));
  tracker.destroyAll();
  EXPECT_EQ(released.load(), kPublications + 1);
}

}  // namespace
}  // namespace quellsig
