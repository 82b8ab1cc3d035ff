#include "platform/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/system_error.h"

extern char** environ;

namespace quellsig::platform {

ChildProcess::ChildProcess(ChildProcess&& o) noexcept
    : pid_(std::exchange(o.pid_, -1)), reaped_(std::exchange(o.reaped_, true)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& o) noexcept {
  if (this != &o) {
    stop(2000);
    pid_ = std::exchange(o.pid_, -1);
    reaped_ = std::exchange(o.reaped_, true);
  }
  return *this;
}

ChildProcess::~ChildProcess() { stop(2000); }

Result<ChildProcess> ChildProcess::spawn(std::span<const std::string> argv,
                                         std::string_view output_path) {
  if (argv.empty()) return fail(Error::InvalidArgument);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::string out(output_path);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  sigset_t none;
  sigemptyset(&none);
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = -1;
  int rc = ::posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return fail(errorFromErrno(rc));

  ChildProcess child;
  child.pid_ = pid;
  child.reaped_ = false;
  return child;
}

bool ChildProcess::running() {
  if (reaped_) return false;
  int status = 0;
  pid_t r = ::waitpid(pid_, &status, WNOHANG);
  if (r == pid_ || (r < 0 && errno != EINTR)) reaped_ = true;
  return !reaped_;
}

void ChildProcess::stop(std::uint32_t timeout_ms) {
  if (reaped_ || pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  const std::uint64_t deadline = monotonicMillis() + timeout_ms;
  while (running() && monotonicMillis() < deadline) sleepMillis(10);
  if (!reaped_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
  }
}

}  // namespace quellsig::platform
