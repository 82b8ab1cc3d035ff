// EventQueue: one worker's readiness queue with its pending registrations.
//
// registerRead / registerWrite append a change (edge-triggered read,
// one-shot write; see platform/event_backend.h) that takes effect with the
// next wait(). At most kMaxChanges wait there: adding one more first applies
// the pending ones without waiting (no event is consumed by that). wait()
// applies the pending changes, then returns at most kMaxEvents events,
// borrowed until the next call.
//
// No registration is lost: a change whose descriptor was closed meanwhile is
// dropped alone, and when the system itself refuses a change (memory, watch
// quota) that change and every later one stay pending for the next wait,
// which reports the refusal. A register call that finds the list full and
// cannot empty it fails with that error and adds nothing; the pending ones
// stay. Waits interrupted by a signal return no events.
//
// The queue logic is a template over the backend so that a scripted one can
// stand in for the system in tests; the program uses EventQueue. One thread
// owns a queue.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "platform/error.h"
#include "platform/event_backend.h"

namespace quellsig::platform {

template <typename Backend>
class BasicEventQueue {
 public:
  static constexpr std::size_t kMaxChanges = 128;
  static constexpr std::size_t kMaxEvents = 64;

  explicit BasicEventQueue(std::unique_ptr<Backend> backend) : backend_(std::move(backend)) {}

  static Result<BasicEventQueue> create() {
    auto backend = Backend::create();
    if (!backend) return fail(backend.error());
    return BasicEventQueue(std::move(*backend));
  }

  Result<void> registerRead(int fd) { return add({fd, Readiness::Read}); }
  Result<void> registerWrite(int fd) { return add({fd, Readiness::Write}); }

  // nullopt: no time limit.
  Result<std::span<const ReadyEvent>> wait(std::optional<std::uint32_t> timeout_ms) {
    if (auto a = applyPending(); !a) return fail(a.error());
    auto n = backend_->wait(events_, timeout_ms);
    if (!n) return fail(n.error());
    return std::span<const ReadyEvent>(events_.data(), *n);
  }

  std::size_t pendingChanges() const { return pending_count_; }

 private:
  Result<void> add(EventChange change) {
    if (pending_count_ == kMaxChanges) {
      if (auto a = applyPending(); !a) return fail(a.error());
    }
    pending_[pending_count_++] = change;
    return {};
  }

  // Keeps whatever the backend did not consume, in order.
  Result<void> applyPending() {
    ApplyOutcome out = backend_->apply(std::span<const EventChange>(pending_.data(), pending_count_));
    std::size_t done = out.consumed < pending_count_ ? out.consumed : pending_count_;
    for (std::size_t i = done; i < pending_count_; ++i) pending_[i - done] = pending_[i];
    pending_count_ -= done;
    if (out.error) return fail(*out.error);
    return {};
  }

  std::unique_ptr<Backend> backend_;
  std::array<EventChange, kMaxChanges> pending_{};
  std::size_t pending_count_ = 0;
  std::array<ReadyEvent, kMaxEvents> events_{};
};

using EventQueue = BasicEventQueue<EventBackend>;

}  // namespace quellsig::platform
