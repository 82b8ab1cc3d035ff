#include "daemon/worker_pool.h"

#include <new>
#include <utility>

#include "milter/evaluation.h"
#include "milter/listener.h"
#include "milter/thread_resolver.h"
#include "publisher/result_publisher.h"
#include "platform/pipe.h"

namespace quellsig {

MilterHooks daemonHooks(const GenerationTracker& tracker) {
  MilterHooks hooks;
  // The worker acknowledged its generation at the top of this loop
  // iteration, so the configuration read here stays alive for the message.
  hooks.end_of_message = [&tracker](MilterConnection& c) {
    const EvaluationServices services{.settings = runtimeSettings(),
                                      .key_lookup = threadKeyLookup(),
                                      .key_cache = &threadPublicKeyCache(),
                                      .results = threadResultPublisher(),
                                      .signing = tracker.current()};
    return evaluateMessage(c, services);
  };
  return hooks;
}

Result<std::unique_ptr<WorkerPool>> WorkerPool::start(WorkerPoolSetup setup) {
  std::unique_ptr<WorkerPool> pool;
  try {
    pool.reset(new WorkerPool());
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  if (auto p = pool->prepare(setup); !p) return fail(p.error());
  if (auto s = pool->startThreads(setup); !s) return fail(s.error());
  return pool;
}

Result<void> WorkerPool::prepare(const WorkerPoolSetup& setup) {
  auto shutdown_pipe = platform::createPipe();
  if (!shutdown_pipe) return fail(shutdown_pipe.error());
  shutdown_read_ = std::move(shutdown_pipe->read_end);
  shutdown_write_ = std::move(shutdown_pipe->write_end);

  if (auto slots = setup.tracker->createAcknowledgementSlots(setup.count); !slots) {
    return fail(slots.error());
  }
  try {
    std::vector<platform::UniqueFd> wake_reads;
    for (std::uint32_t i = 0; i < setup.count; ++i) {
      auto wake = platform::createPipe({.nonblocking_read = true, .nonblocking_write = true});
      if (!wake) return fail(wake.error());
      wake_reads.push_back(std::move(wake->read_end));
      wake_writes_.push_back(std::move(wake->write_end));
    }
    for (std::uint32_t i = 0; i < setup.count; ++i) {
      WorkerSetup ws;
      ws.index = i;
      ws.shutdown_fd = shutdown_read_.get();
      ws.wake = std::move(wake_reads[i]);
      ws.max_connections = setup.max_connections;
      ws.settings = setup.settings;
      ws.tracker = setup.tracker;
      ws.hooks = setup.hooks;
      ws.reload = setup.reload;
      const int wake_fd = ws.wake.get();
      auto worker = Worker::create(std::move(ws));
      if (!worker) return fail(worker.error());
      if (auto r = (*worker)->registerRead(shutdown_read_.get()); !r) return fail(r.error());
      if (auto r = (*worker)->registerRead(wake_fd); !r) return fail(r.error());
      for (const ListenerSpec& spec : setup.listeners) {
        auto listener = createListener(spec);
        if (!listener) return fail(listener.error());
        if (auto r = (*worker)->addListener(std::move(*listener)); !r) return fail(r.error());
      }
      workers_.push_back(std::move(*worker));
    }
    threads_.reserve(setup.count);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  return {};
}

Result<void> WorkerPool::startThreads(const WorkerPoolSetup& setup) {
  for (auto& worker : workers_) {
    Worker* w = worker.get();
    auto thread = setup.start_thread([w] { runWorker(*w); });
    if (!thread) {
      // The running workers use the queues, listeners and pipes: they end
      // first, then the destructor releases what is left.
      shutdown();
      return fail(thread.error());
    }
    threads_.push_back(std::move(*thread));  // reserved: cannot throw
  }
  return {};
}

std::vector<int> WorkerPool::wakeEnds() const {
  std::vector<int> ends;
  for (const auto& fd : wake_writes_) ends.push_back(fd.get());
  return ends;
}

void WorkerPool::shutdown() {
  shutdown_write_.reset();
  for (auto& t : threads_) t.join();
  threads_.clear();
}

WorkerPool::~WorkerPool() {
  shutdown();
  // Workers that ran have torn themselves down; the others release their
  // queues, listeners and wake ends here.
  workers_.clear();
}

}  // namespace quellsig
