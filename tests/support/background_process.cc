#include "tests/support/background_process.h"

#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <utility>

#include "tests/support/child_process.h"

namespace quellsig::testutil {

BackgroundProcess::BackgroundProcess(BackgroundProcess&& o) noexcept
    : pid_(std::exchange(o.pid_, -1)), reaped_(std::exchange(o.reaped_, true)) {}

BackgroundProcess& BackgroundProcess::operator=(BackgroundProcess&& o) noexcept {
  if (this != &o) {
    stop(2000);
    pid_ = std::exchange(o.pid_, -1);
    reaped_ = std::exchange(o.reaped_, true);
  }
  return *this;
}

BackgroundProcess::~BackgroundProcess() { stop(2000); }

Result<BackgroundProcess> BackgroundProcess::spawn(std::span<const std::string> argv,
                                                   std::string_view output_path) {
  SpawnOptions options;
  options.output_file = output_path;
  options.search_path = true;
  auto spawned = spawnProcess(argv, options);
  if (!spawned) return fail(spawned.error());
  BackgroundProcess child;
  child.pid_ = spawned->pid;
  child.reaped_ = false;
  return child;
}

bool BackgroundProcess::running() {
  if (reaped_) return false;
  auto status = waitForExit(pid_, 0);
  if (!status || *status) reaped_ = true;
  return !reaped_;
}

void BackgroundProcess::stop(std::uint32_t timeout_ms) {
  if (reaped_ || pid_ <= 0) return;
  (void)sendSignal(pid_, SIGTERM);
  auto status = waitForExit(pid_, static_cast<int>(timeout_ms));
  if (status && !*status) {
    (void)sendSignal(pid_, SIGKILL);
    int raw = 0;
    while (::waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
    }
  }
  reaped_ = true;
}

}  // namespace quellsig::testutil
