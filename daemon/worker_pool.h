// WorkerPool: the daemon's worker threads from preparation to join, with the
// shutdown pipe and one wake pipe per worker.
//
// start() creates the shutdown pipe, sizes the generation tracker's
// acknowledgement table to `count` slots, creates the wake pipes, prepares
// the workers in index order (each with its event queue, the shutdown and
// wake read ends registered, and one listening socket per configured
// listener, registered, in listener order) and starts their threads in index
// order. It fails with the first error met (pipes, event queues, listening
// sockets, memory, threads), writing no record of its own. When starting
// worker k fails, the shutdown pipe is closed so that workers 0..k-1 drain
// and end, they are joined, and only then is everything released; a worker
// that ran has released what it held itself.
//
// wakeEnds() lists the write ends of the workers' wake pipes in worker
// order, for the reload to write its wake bytes to; they stay open while the
// pool lives. shutdown() closes the shutdown pipe's write end and joins
// the workers in index order, which returns once every worker has drained
// (each bounds its drain); the read end is closed when the pool is
// destroyed. The destructor shuts down a pool that was not.
//
// Main thread only. The tracker, the settings and the hooks' targets must
// outlive the pool.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "config/daemon_config.h"
#include "config/generation_tracker.h"
#include "config/runtime_settings.h"
#include "milter/hooks.h"
#include "milter/worker.h"
#include "platform/error.h"
#include "platform/fd.h"
#include "platform/thread.h"

namespace quellsig {

struct WorkerPoolSetup {
  std::uint32_t count = 1;
  std::uint32_t max_connections = 256;
  std::vector<ListenerSpec> listeners;
  const RuntimeSettings* settings = nullptr;
  GenerationTracker* tracker = nullptr;
  MilterHooks hooks;
  std::function<void()> reload = acknowledgeReload;
  // Starts one worker thread; tests stand in a failing one.
  Result<platform::Thread> (*start_thread)(std::function<void()> body) = platform::Thread::start;
};

class WorkerPool {
 public:
  static Result<std::unique_ptr<WorkerPool>> start(WorkerPoolSetup setup);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  std::vector<int> wakeEnds() const;
  void shutdown();
  std::size_t size() const { return workers_.size(); }

 private:
  WorkerPool() = default;
  Result<void> prepare(const WorkerPoolSetup& setup);
  Result<void> startThreads(const WorkerPoolSetup& setup);

  platform::UniqueFd shutdown_read_;
  platform::UniqueFd shutdown_write_;
  std::vector<platform::UniqueFd> wake_writes_;
  std::vector<std::unique_ptr<Worker>> workers_;
  std::vector<platform::Thread> threads_;
};

// The milter hooks of the daemon's workers: body chunks are stored under
// MaxBodyBytes and the end of message is the evaluation, with the calling
// worker's resolver, key cache and publisher and the signing configuration
// current in `tracker`, which must outlive the workers.
MilterHooks daemonHooks(const GenerationTracker& tracker);

}  // namespace quellsig
