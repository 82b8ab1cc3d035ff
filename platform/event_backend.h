// EventBackend: the system's readiness notification behind EventQueue. One
// implementation is compiled in, chosen in platform/CMakeLists.txt (epoll on
// Linux; a kqueue backend fills the same contract on the BSDs).
//
// The contract, all a backend has to provide:
// - Read registrations are edge-triggered: after an event the descriptor is
//   reported again only once new data, end of file or an error arrives, so
//   the caller must read until would-block. (A caller that leaves data
//   unread and then adds a registration for the descriptor may see the read
//   event once more; reading to would-block rules that out.)
// - Write registrations are one-shot: one event, then the registration is
//   gone until it is added again. A read registration on the same
//   descriptor is not affected by it.
// - apply() applies changes in order and returns how many it consumed. A
//   change that fails because of its descriptor (already closed, not
//   pollable) is consumed and skipped; it never stops the others. A failure
//   of the system itself (memory, watch quota) stops at that change, which
//   is not consumed, and is returned with the count of those before it.
// - wait() fills at most events.size() entries and never reports an event
//   twice nor loses one it took from the system; no time limit waits until
//   an event arrives, a limit of 0 only polls. An interrupted wait returns
//   no events. Applying changes never consumes pending events.
// - Closing a descriptor removes its registrations.
//
// One thread owns a backend; it is neither copied nor shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "platform/error.h"

namespace quellsig::platform {

enum class Readiness : std::uint8_t { Read, Write };

// A registration to add: Read edge-triggered, Write one-shot.
struct EventChange {
  int fd = -1;
  Readiness kind = Readiness::Read;
};

struct ReadyEvent {
  int fd = -1;
  Readiness kind = Readiness::Read;
  bool operator==(const ReadyEvent&) const = default;
};

struct ApplyOutcome {
  std::size_t consumed = 0;
  std::optional<Error> error;  // set when a system failure stopped applying
};

class EventBackend {
 public:
  static Result<std::unique_ptr<EventBackend>> create();
  ~EventBackend();
  EventBackend(const EventBackend&) = delete;
  EventBackend& operator=(const EventBackend&) = delete;

  ApplyOutcome apply(std::span<const EventChange> changes);
  Result<std::size_t> wait(std::span<ReadyEvent> events, std::optional<std::uint32_t> timeout_ms);

  struct State;

 private:
  explicit EventBackend(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace quellsig::platform
