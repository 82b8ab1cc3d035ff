#include "milter/worker.h"

#include <algorithm>
#include <new>
#include <utility>

#include "log/log.h"
#include "milter/peer_label.h"
#include "milter/thread_resolver.h"
#include "platform/clock.h"
#include "platform/listen_socket.h"
#include "platform/pipe.h"
#include "platform/stream_socket.h"

namespace quellsig {
namespace {

// Errors that cost only the connection being accepted.
bool lostOneConnection(Error e) {
  return e == Error::ConnectionAborted || e == Error::ProtocolFailure;
}

// Shortages that the next accept would meet again at once.
bool shortOfResources(Error e) {
  return e == Error::ProcessFdQuotaExceeded || e == Error::SystemFdQuotaExceeded ||
         e == Error::SystemResources || e == Error::OutOfMemory;
}

}  // namespace

Result<std::unique_ptr<Worker>> Worker::create(WorkerSetup setup) {
  auto queue = platform::EventQueue::create();
  if (!queue) return fail(queue.error());
  try {
    return std::unique_ptr<Worker>(new Worker(std::move(setup), std::move(*queue)));
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Worker::Worker(WorkerSetup setup, platform::EventQueue queue)
    : setup_(std::move(setup)),
      queue_(std::move(queue)),
      milter_{*this, setup_.hooks} {
  if (setup_.tracker) seen_generation_ = setup_.tracker->generation();
}

Worker::~Worker() { tearDown(); }

std::uint64_t Worker::now() const {
  return setup_.clock_ms ? setup_.clock_ms() : platform::monotonicMillis();
}

Result<void> Worker::registerRead(int fd) {
  if (!queue_) return fail(Error::InvalidArgument);
  return queue_->registerRead(fd);
}

Result<void> Worker::registerWrite(int fd) {
  if (!queue_) return fail(Error::InvalidArgument);
  return queue_->registerWrite(fd);
}

Result<void> Worker::addListener(Listener listener) {
  try {
    listeners_.push_back(std::move(listener));
  } catch (const std::bad_alloc&) {
    closeListener(listener);
    return fail(Error::OutOfMemory);
  }
  if (auto r = registerRead(listeners_.back().socket.get()); !r) {
    closeListener(listeners_.back());
    listeners_.pop_back();
    return fail(r.error());
  }
  return {};
}

void Worker::addWriteOnce(int fd) {
  if (registerWrite(fd)) return;
  // Kept for the next pass: a one-shot write that is never registered would
  // leave the replies queued for good.
  try {
    unregistered_writes_.push_back(fd);
  } catch (const std::bad_alloc&) {
    if (auto it = connections_.find(fd); it != connections_.end()) {
      it->second->waiting_for_writable = false;
    }
  }
}

void Worker::retryWriteRegistrations() {
  std::size_t done = 0;
  for (; done < unregistered_writes_.size(); ++done) {
    const int fd = unregistered_writes_[done];
    auto it = connections_.find(fd);
    if (it == connections_.end() || !it->second->waiting_for_writable) continue;
    if (!registerWrite(fd)) break;
  }
  unregistered_writes_.erase(unregistered_writes_.begin(),
                             unregistered_writes_.begin() + static_cast<std::ptrdiff_t>(done));
}

void Worker::closeConnection(MilterConnection& connection) {
  auto it = connections_.find(connection.socket.get());
  if (it == connections_.end() || it->second.get() != &connection) return;
  std::unique_ptr<MilterConnection> owned = std::move(it->second);
  connections_.erase(it);
  destroyConnection(std::move(owned));
  connection_closed_ = true;
}

void Worker::acceptOn(std::size_t i) {
  Listener& listener = listeners_[i];
  listener.accept_retry = false;
  while (listener.socket) {
    auto accepted = setup_.accept ? setup_.accept(listener.socket.get())
                                  : platform::acceptConnection(listener.socket.get());
    if (!accepted) {
      emit(Severity::Err, "accept error: ", ErrorText{accepted.error()});
      if (lostOneConnection(accepted.error())) continue;
      if (shortOfResources(accepted.error())) {
        listener.accept_retry = true;
        if (!accept_retry_at_) accept_retry_at_ = now() + kAcceptRetryMs;
      }
      break;
    }
    if (accepted->would_block) break;
    if (connections_.size() >= setup_.max_connections) {
      accepted->socket.reset();
      ++refused_;
      continue;
    }
    if (!platform::makeNonBlocking(accepted->socket.get())) continue;
    if (!listener.is_unix) {
      (void)platform::setTcpNoDelay(accepted->socket.get());
      (void)platform::setKeepAlive(accepted->socket.get());
    }
    const int fd = accepted->socket.get();
    std::unique_ptr<MilterConnection> connection;
    try {
      auto created = createConnection(std::move(accepted->socket), static_cast<std::uint32_t>(i),
                                      *setup_.settings,
                                      peerLabel(accepted->family, accepted->address));
      if (!created) continue;
      connection = std::move(*created);
      connections_.emplace(fd, std::move(connection));
    } catch (const std::bad_alloc&) {
      destroyConnection(std::move(connection));
      continue;
    }
    if (!registerRead(fd)) closeConnection(*connections_.at(fd));
  }
  reportRefusals();
}

void Worker::reportRefusals() {
  if (refused_ == 0) return;
  const std::uint64_t t = now();
  if (last_refusal_report_ && t - *last_refusal_report_ < kRefusalReportMs) return;
  emit(Severity::Warning, "refused ", refused_, " connection(s): worker ", setup_.index,
       " is at MaxConnections=", setup_.max_connections);
  refused_ = 0;
  last_refusal_report_ = t;
}

void Worker::retryAccepts() {
  if (!accept_retry_at_) return;
  if (!connection_closed_ && now() < *accept_retry_at_) return;
  accept_retry_at_.reset();
  for (std::size_t i = 0; i < listeners_.size(); ++i) {
    if (listeners_[i].accept_retry && !draining_) acceptOn(i);
  }
}

void Worker::startDrain() {
  if (draining_) return;
  draining_ = true;
  for (Listener& l : listeners_) closeListener(l);
  accept_retry_at_.reset();
  drain_deadline_ = now() + kDrainMs;
}

void Worker::checkGeneration() {
  if (!setup_.tracker) return;
  const std::uint64_t g = setup_.tracker->acknowledge(setup_.index);
  if (g == seen_generation_) return;
  seen_generation_ = g;
  if (setup_.reload) setup_.reload();
}

std::optional<std::uint32_t> Worker::waitLimit() const {
  std::optional<std::uint32_t> limit;
  if (draining_) limit = kDrainWaitMs;
  if (accept_retry_at_) {
    const std::uint64_t t = now();
    const std::uint64_t left = *accept_retry_at_ > t ? *accept_retry_at_ - t : 0;
    const auto ms = static_cast<std::uint32_t>(std::min<std::uint64_t>(left, kAcceptRetryMs));
    limit = limit ? std::min(*limit, ms) : ms;
  }
  return limit;
}

void Worker::handleEvent(const platform::ReadyEvent& event) {
  const int fd = event.fd;
  if (event.kind == platform::Readiness::Write) {
    if (auto it = connections_.find(fd); it != connections_.end()) onWritable(milter_, *it->second);
    return;
  }
  if (fd == setup_.shutdown_fd) {
    startDrain();
    return;
  }
  if (setup_.wake && fd == setup_.wake.get()) {
    platform::drainPipe(fd);
    return;
  }
  for (std::size_t i = 0; i < listeners_.size(); ++i) {
    if (listeners_[i].socket && listeners_[i].socket.get() == fd) {
      if (!draining_) acceptOn(i);
      return;
    }
  }
  if (auto it = connections_.find(fd); it != connections_.end()) onReadable(milter_, *it->second);
}

bool Worker::runOnce() {
  if (!queue_) return false;
  if (draining_) {
    if (connections_.empty()) return false;
    if (now() >= drain_deadline_) {
      emit(Severity::Warning, "drain timeout, closing ", connections_.size(),
           " remaining connections");
      return false;
    }
  }
  checkGeneration();
  retryWriteRegistrations();
  auto events = queue_->wait(waitLimit());
  if (!events) {
    // The queue keeps every change it could not apply for the next wait.
    emit(Severity::Err, "kevent error: ", ErrorText{events.error()});
    return true;
  }
  connection_closed_ = false;
  for (const platform::ReadyEvent& event : *events) handleEvent(event);
  retryAccepts();
  return true;
}

void Worker::tearDown() {
  for (auto& [fd, connection] : connections_) destroyConnection(std::move(connection));
  ConnectionTable().swap(connections_);
  for (Listener& l : listeners_) closeListener(l);
  std::vector<Listener>().swap(listeners_);
  setup_.wake.reset();
  queue_.reset();
}

void runWorker(Worker& worker) {
  openLogConnection();
  while (worker.runOnce()) {
  }
  worker.tearDown();
  closeLogConnection();
}

void acknowledgeReload() {
  discardThreadResolver();
  emit(Severity::Debug, "worker: config reload acknowledged");
}

}  // namespace quellsig
