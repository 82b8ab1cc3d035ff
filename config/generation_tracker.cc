#include "config/generation_tracker.h"

#include <limits>
#include <new>

namespace quellsig {

GenerationTracker::GenerationTracker()
    : GenerationTracker([](const SigningConfig* c) { delete c; }) {}

GenerationTracker::GenerationTracker(Release release) : release_(std::move(release)) {}

GenerationTracker::~GenerationTracker() { destroyAll(); }

Result<void> GenerationTracker::publish(std::unique_ptr<const SigningConfig> config) {
  if (retired_.size() == retired_.capacity()) {
    try {
      retired_.reserve(retired_.capacity() + retired_.capacity() / 2 + 8);
    } catch (const std::bad_alloc&) {
      release_(config.release());
      return fail(Error::OutOfMemory);
    }
  }
  // Exchange first, then advance: a worker that reads the new generation is
  // then bound to read the new configuration.
  const SigningConfig* old = current_.exchange(config.release(), std::memory_order_seq_cst);
  const std::uint64_t g = generation_.fetch_add(1, std::memory_order_seq_cst) + 1;
  if (old != nullptr) retired_.emplace_back(old, g);
  reclaim();
  return {};
}

void GenerationTracker::advanceGeneration() { generation_.fetch_add(1, std::memory_order_seq_cst); }

Result<void> GenerationTracker::createAcknowledgementSlots(std::size_t workers) {
  try {
    slots_.reset(new std::atomic<std::uint64_t>[workers]);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  const std::uint64_t g = generation();
  for (std::size_t i = 0; i < workers; ++i) slots_[i].store(g, std::memory_order_seq_cst);
  slot_count_ = workers;
  return {};
}

std::uint64_t GenerationTracker::acknowledge(std::size_t worker) {
  const std::uint64_t g = generation_.load(std::memory_order_seq_cst);
  if (worker < slot_count_) slots_[worker].store(g, std::memory_order_seq_cst);
  return g;
}

void GenerationTracker::reclaim() {
  std::uint64_t m = std::numeric_limits<std::uint64_t>::max();
  for (std::size_t i = 0; i < slot_count_; ++i) {
    m = std::min(m, slots_[i].load(std::memory_order_seq_cst));
  }
  for (std::size_t i = 0; i < retired_.size();) {
    if (retired_[i].second <= m) {
      release_(retired_[i].first);
      retired_[i] = retired_.back();
      retired_.pop_back();
    } else {
      ++i;
    }
  }
}

void GenerationTracker::destroyAll() {
  for (const auto& [config, generation] : retired_) release_(config);
  retired_.clear();
  if (const SigningConfig* c = current_.exchange(nullptr, std::memory_order_seq_cst)) release_(c);
}

}  // namespace quellsig
