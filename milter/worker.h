// Worker: one worker thread's event loop over its own event queue, its
// listening sockets and the connections it accepts.
//
// The main thread prepares a worker (create, registerRead of the
// shutdown and wake descriptors, addListener for each configured listener in
// order) and then hands it to a thread that calls runWorker. From then on
// that thread alone touches it: runWorker accepts, reads, dispatches, writes,
// acknowledges new signing-configuration generations and, once the shutdown
// pipe reads as readable, closes its listeners and drains its connections
// for at most kDrainMs. Before returning, runWorker releases everything the
// worker holds (connections, listeners, wake descriptor, event queue); the
// Worker object itself stays with whoever created it, who destroys it after
// joining the thread. A worker that never ran releases the same things when
// it is destroyed. The shutdown descriptor is borrowed, never closed here.
//
// Registrations are never lost: a change the queue cannot take now (see
// platform/event_queue.h) stays pending or, for a write registration, is
// retried before each wait; an accepted connection whose read registration
// cannot be made is closed at once rather than left unserved.
//
// Accepting: beyond MaxConnections a new connection is closed at once and
// counted; the count is reported at most once per kRefusalReportMs, at the
// end of an accept loop. After a lost connection (ConnectionAborted,
// ProtocolFailure) the loop goes on; after a shortage of descriptors or
// memory it stops with the "accept error" record and tries the listener
// again when one of this worker's connections closes, or after
// kAcceptRetryMs. Times come from the monotonic clock (replaceable for
// tests).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "config/generation_tracker.h"
#include "config/runtime_settings.h"
#include "milter/connection.h"
#include "milter/connection_io.h"
#include "milter/event_registrar.h"
#include "milter/hooks.h"
#include "milter/listener.h"
#include "platform/error.h"
#include "platform/event_queue.h"
#include "platform/fd.h"
#include "platform/listen_socket.h"

namespace quellsig {

inline constexpr std::uint64_t kDrainMs = 30000;
inline constexpr std::uint32_t kDrainWaitMs = 1000;
inline constexpr std::uint64_t kRefusalReportMs = 1000;
inline constexpr std::uint64_t kAcceptRetryMs = 1000;

using ConnectionTable = std::unordered_map<int, std::unique_ptr<MilterConnection>>;

struct WorkerSetup {
  std::uint32_t index = 0;
  int shutdown_fd = -1;            // borrowed
  platform::UniqueFd wake;         // non-blocking read end; may be empty
  std::uint32_t max_connections = 256;
  const RuntimeSettings* settings = nullptr;  // message limits; outlives the worker
  GenerationTracker* tracker = nullptr;       // outlives the worker
  MilterHooks hooks;
  std::function<void()> reload;  // run on each new generation
  // Stand-ins for tests; null: the system's monotonic milliseconds and
  // platform::acceptConnection.
  std::uint64_t (*clock_ms)() = nullptr;
  Result<platform::AcceptedConnection> (*accept)(int listening_fd) = nullptr;
};

class Worker final : public EventRegistrar {
 public:
  // OutOfMemory, or the event queue's creation error.
  static Result<std::unique_ptr<Worker>> create(WorkerSetup setup);
  ~Worker() override;
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  Result<void> registerRead(int fd);
  Result<void> registerWrite(int fd);
  // Appends the listener (its position is the listener index of the
  // connections it accepts) and registers its socket. On failure the
  // listener is closed.
  Result<void> addListener(Listener listener);

  // EventRegistrar.
  void addWriteOnce(int fd) override;
  void closeConnection(MilterConnection& connection) override;

  // One pass of the loop: drain check, reload check, wait, events. False
  // when the loop is over.
  bool runOnce();
  // The accept loop on listener i, with the refusal report at its end.
  void acceptOn(std::size_t i);
  // Releases connections, listeners, the wake descriptor and the queue.
  void tearDown();

  std::uint32_t index() const { return setup_.index; }
  std::size_t connectionCount() const { return connections_.size(); }
  bool draining() const { return draining_; }
  const std::vector<Listener>& listeners() const { return listeners_; }

 private:
  explicit Worker(WorkerSetup setup, platform::EventQueue queue);
  std::uint64_t now() const;
  void handleEvent(const platform::ReadyEvent& event);
  void startDrain();
  void checkGeneration();
  void reportRefusals();
  void retryWriteRegistrations();
  void retryAccepts();
  std::optional<std::uint32_t> waitLimit() const;

  WorkerSetup setup_;
  std::optional<platform::EventQueue> queue_;
  MilterWorker milter_;
  std::vector<Listener> listeners_;
  ConnectionTable connections_;
  std::vector<int> unregistered_writes_;
  std::uint64_t seen_generation_ = 0;
  bool draining_ = false;
  std::uint64_t drain_deadline_ = 0;
  std::uint64_t refused_ = 0;
  std::optional<std::uint64_t> last_refusal_report_;
  std::optional<std::uint64_t> accept_retry_at_;
  bool connection_closed_ = false;
};

// The thread body: opens the thread's log connection, runs the loop until it
// ends, tears the worker down and closes the log connection.
void runWorker(Worker& worker);

// The reload hook of the daemon's workers: discards the thread's DNS
// resolver and its cache, then the debug record.
void acknowledgeReload();

}  // namespace quellsig
