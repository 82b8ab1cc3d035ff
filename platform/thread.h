// Thread: one joinable system thread with a 16 MiB stack and a 4096-byte
// guard area, started with SIGHUP, SIGINT, SIGTERM and SIGPIPE blocked (the
// main thread alone takes those signals).
//
// start() fails with SystemResources when the system lacks the resources for
// a new thread, Unexpected for any other refusal, OutOfMemory when the body
// cannot be copied; the body is then not run. The owner must join() before
// the Thread is destroyed or reassigned (the destructor joins as a last
// resort). join() is called by one thread, the owner.
#pragma once

#include <functional>
#include <memory>

#include "platform/error.h"

namespace quellsig::platform {

class Thread {
 public:
  static constexpr std::size_t kStackBytes = 16u * 1024u * 1024u;
  static constexpr std::size_t kGuardBytes = 4096u;

  Thread();
  Thread(Thread&&) noexcept;
  Thread& operator=(Thread&&) noexcept;
  ~Thread();

  static Result<Thread> start(std::function<void()> body);

  bool joinable() const { return handle_ != nullptr; }
  void join();

 private:
  struct Handle;
  std::unique_ptr<Handle> handle_;
};

// Blocks the four signals above in the calling thread.
void blockProcessSignals();

}  // namespace quellsig::platform
