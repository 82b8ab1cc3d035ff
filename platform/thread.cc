#include "platform/thread.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <new>

namespace quellsig::platform {
namespace {

sigset_t processSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGPIPE);
  return set;
}

void* runBody(void* arg) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
  blockProcessSignals();
  (*body)();
  return nullptr;
}

}  // namespace

struct Thread::Handle {
  pthread_t id;
};

Thread::Thread() = default;
Thread::Thread(Thread&&) noexcept = default;
Thread& Thread::operator=(Thread&& o) noexcept {
  if (this != &o) {
    join();
    handle_ = std::move(o.handle_);
  }
  return *this;
}
Thread::~Thread() { join(); }

void blockProcessSignals() {
  sigset_t set = processSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

Result<Thread> Thread::start(std::function<void()> body) {
  std::unique_ptr<std::function<void()>> arg;
  std::unique_ptr<Handle> handle;
  try {
    arg = std::make_unique<std::function<void()>>(std::move(body));
    handle = std::make_unique<Handle>();
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }

  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return fail(Error::SystemResources);
  int rc = pthread_attr_setstacksize(&attr, kStackBytes);
  if (rc == 0) rc = pthread_attr_setguardsize(&attr, kGuardBytes);
  if (rc == 0) {
    // The new thread inherits the creator's mask, so it never runs a moment
    // with the signals open.
    sigset_t block = processSignals();
    sigset_t old;
    pthread_sigmask(SIG_BLOCK, &block, &old);
    rc = pthread_create(&handle->id, &attr, runBody, arg.get());
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
  }
  pthread_attr_destroy(&attr);
  if (rc != 0) return fail(rc == EAGAIN ? Error::SystemResources : Error::Unexpected);
  arg.release();  // owned by the thread now

  Thread t;
  t.handle_ = std::move(handle);
  return t;
}

void Thread::join() {
  if (!handle_) return;
  pthread_join(handle_->id, nullptr);
  handle_.reset();
}

}  // namespace quellsig::platform
