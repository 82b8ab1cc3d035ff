#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/clock.h"
#include "platform/system_error.h"

extern char** environ;

namespace quellsig::testutil {
namespace {

Result<std::pair<platform::UniqueFd, platform::UniqueFd>> makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return fail(platform::lastError());
  return std::pair{platform::UniqueFd(fds[0]), platform::UniqueFd(fds[1])};
}

// Owns the spawn attributes and file actions for the length of one spawn.
class SpawnSetup {
 public:
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
};

}  // namespace

Result<ChildProcess> spawnProcess(std::span<const std::string> argv, const SpawnOptions& options) {
  if (argv.empty()) return fail(Error::InvalidArgument);
  std::optional<std::pair<platform::UniqueFd, platform::UniqueFd>> out, err;
  if (options.output_file.empty()) {
    auto o = makePipe();
    if (!o) return fail(o.error());
    auto e = makePipe();
    if (!e) return fail(e.error());
    out = std::move(*o);
    err = std::move(*e);
  }
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  SpawnSetup s;
  posix_spawn_file_actions_addopen(&s.actions, 0, "/dev/null", O_RDONLY, 0);
  if (out) {
    posix_spawn_file_actions_adddup2(&s.actions, out->second.get(), 1);
    posix_spawn_file_actions_adddup2(&s.actions, err->second.get(), 2);
  } else {
    posix_spawn_file_actions_addopen(&s.actions, 1, options.output_file.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&s.actions, 1, 2);
  }
  // Last, so that a relative output_file names a file of the caller's directory.
  if (!options.working_dir.empty()) {
    posix_spawn_file_actions_addchdir_np(&s.actions, options.working_dir.c_str());
  }
  sigset_t none;
  sigemptyset(&none);
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigmask(&s.attr, &none);
  posix_spawnattr_setsigdefault(&s.attr, &all);
  posix_spawnattr_setflags(&s.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = -1;
  const int rc = options.search_path
                     ? ::posix_spawnp(&pid, args[0], &s.actions, &s.attr, args.data(), environ)
                     : ::posix_spawn(&pid, args[0], &s.actions, &s.attr, args.data(), environ);
  if (rc != 0) return fail(platform::errorFromErrno(rc));
  ChildProcess child;
  child.pid = pid;
  if (out) {
    child.out = std::move(out->first);
    child.err = std::move(err->first);
  }
  return child;
}

Result<void> sendSignal(int pid, int signal_number) {
  if (::kill(pid, signal_number) != 0) return fail(platform::lastError());
  return {};
}

Result<std::optional<ExitStatus>> waitForExit(int pid, int timeout_ms) {
  std::uint64_t deadline = platform::monotonicMillis() + static_cast<std::uint64_t>(timeout_ms);
  for (;;) {
    int status = 0;
    pid_t rc = ::waitpid(pid, &status, WNOHANG);
    if (rc < 0) {
      if (errno == EINTR) continue;
      return fail(platform::lastError());
    }
    if (rc == pid) {
      if (WIFSIGNALED(status)) return ExitStatus{true, WTERMSIG(status)};
      return ExitStatus{false, WEXITSTATUS(status)};
    }
    if (platform::monotonicMillis() >= deadline) return std::optional<ExitStatus>();
    platform::sleepMillis(10);
  }
}

std::string readUntil(int fd, std::string_view needle, int timeout_ms) {
  std::string got;
  std::uint64_t deadline = platform::monotonicMillis() + static_cast<std::uint64_t>(timeout_ms);
  while (needle.empty() || got.find(needle) == std::string::npos) {
    std::uint64_t now = platform::monotonicMillis();
    if (now >= deadline) break;
    pollfd p{fd, POLLIN, 0};
    int rc = ::poll(&p, 1, static_cast<int>(deadline - now));
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) break;
    char buf[4096];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got.append(buf, static_cast<std::size_t>(n));
  }
  return got;
}

std::string readAll(int fd, int timeout_ms) { return readUntil(fd, {}, timeout_ms); }

}  // namespace quellsig::testutil
