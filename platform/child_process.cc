#include "platform/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/clock.h"
#include "platform/system_error.h"

namespace quellsig::platform {
namespace {

Result<std::pair<UniqueFd, UniqueFd>> makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return fail(lastError());
  return std::pair{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

}  // namespace

Result<ChildProcess> spawnProcess(std::span<const std::string> argv) {
  if (argv.empty()) return fail(Error::InvalidArgument);
  auto out = makePipe();
  if (!out) return fail(out.error());
  auto err = makePipe();
  if (!err) return fail(err.error());
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  pid_t pid = ::fork();
  if (pid < 0) return fail(lastError());
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec.
    int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null_fd >= 0) ::dup2(null_fd, 0);
    ::dup2(out->second.get(), 1);
    ::dup2(err->second.get(), 2);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ChildProcess child;
  child.pid = pid;
  child.out = std::move(out->first);
  child.err = std::move(err->first);
  return child;
}

Result<void> sendSignal(int pid, int signal_number) {
  if (::kill(pid, signal_number) != 0) return fail(lastError());
  return {};
}

Result<std::optional<ExitStatus>> waitForExit(int pid, int timeout_ms) {
  std::uint64_t deadline = monotonicMillis() + static_cast<std::uint64_t>(timeout_ms);
  for (;;) {
    int status = 0;
    pid_t rc = ::waitpid(pid, &status, WNOHANG);
    if (rc < 0) {
      if (errno == EINTR) continue;
      return fail(lastError());
    }
    if (rc == pid) {
      if (WIFSIGNALED(status)) return ExitStatus{true, WTERMSIG(status)};
      return ExitStatus{false, WEXITSTATUS(status)};
    }
    if (monotonicMillis() >= deadline) return std::optional<ExitStatus>();
    sleepMillis(10);
  }
}

std::string readUntil(int fd, std::string_view needle, int timeout_ms) {
  std::string got;
  std::uint64_t deadline = monotonicMillis() + static_cast<std::uint64_t>(timeout_ms);
  while (needle.empty() || got.find(needle) == std::string::npos) {
    std::uint64_t now = monotonicMillis();
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

}  // namespace quellsig::platform
