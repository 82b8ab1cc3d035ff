// GenerationTracker: hands the current SigningConfig to the workers and
// reclaims the ones a reload replaced once no worker can still hold them.
//
// Threads: the main thread alone calls publish, advanceGeneration,
// createAcknowledgementSlots, awaitingReclamation and destroyAll, and
// destroys the tracker. A worker calls acknowledge(its index) at the top of
// every event-loop iteration and only then current(); it keeps no pointer
// to a SigningConfig beyond that iteration. An acknowledged generation g
// promises the worker holds no configuration retired at g or earlier.
//
// Ownership: the tracker owns every published configuration until it is
// released through the release function (delete by default): a retired one
// once every slot has passed its retirement generation, all the rest in
// destroyAll() or the destructor, which run after the workers are joined.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "config/signing_config.h"
#include "platform/error.h"

namespace quellsig {

class GenerationTracker {
 public:
  using Release = std::function<void(const SigningConfig*)>;

  GenerationTracker();
  explicit GenerationTracker(Release release);
  GenerationTracker(const GenerationTracker&) = delete;
  GenerationTracker& operator=(const GenerationTracker&) = delete;
  ~GenerationTracker();

  // Makes config current and advances the generation; the replaced one is
  // retired. OutOfMemory leaves everything as it was and releases config.
  Result<void> publish(std::unique_ptr<const SigningConfig> config);
  // A failed reload: the generation moves on, nothing else changes.
  void advanceGeneration();
  // One slot per worker, each holding the present generation. Called once,
  // before any worker runs. OutOfMemory on failure.
  Result<void> createAcknowledgementSlots(std::size_t workers);
  std::size_t awaitingReclamation() const { return retired_.size(); }
  // Releases every retired configuration and the current one.
  void destroyAll();

  // Worker side: reads the generation, stores it into the worker's slot (when
  // the table has one for that index) and returns it.
  std::uint64_t acknowledge(std::size_t worker);
  std::uint64_t generation() const { return generation_.load(std::memory_order_seq_cst); }
  const SigningConfig* current() const { return current_.load(std::memory_order_seq_cst); }

 private:
  void reclaim();

  Release release_;
  std::atomic<std::uint64_t> generation_{0};
  std::atomic<const SigningConfig*> current_{nullptr};
  std::unique_ptr<std::atomic<std::uint64_t>[]> slots_;
  std::size_t slot_count_ = 0;
  std::vector<std::pair<const SigningConfig*, std::uint64_t>> retired_;
};

}  // namespace quellsig
