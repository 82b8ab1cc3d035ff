#include "platform/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/fd.h"
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

namespace quellsig::platform {
namespace {

struct Pipe {
  UniqueFd read, write;
};

Result<Pipe> makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return fail(lastError());
  return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// Reads both descriptors until each reaches end of file.
Result<void> drain(UniqueFd& out_fd, UniqueFd& err_fd, std::string& out, std::string& err) {
  char buf[4096];
  while (out_fd.valid() || err_fd.valid()) {
    pollfd pfds[2] = {{out_fd.get(), POLLIN, 0}, {err_fd.get(), POLLIN, 0}};
    if (::poll(pfds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return fail(lastError());
    }
    UniqueFd* fds[2] = {&out_fd, &err_fd};
    std::string* sinks[2] = {&out, &err};
    for (int i = 0; i < 2; ++i) {
      if (!fds[i]->valid() || pfds[i].revents == 0) continue;
      ssize_t n = ::read(fds[i]->get(), buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        fds[i]->reset();
      } else {
        sinks[i]->append(buf, static_cast<std::size_t>(n));
      }
    }
  }
  return {};
}

}  // namespace

Result<ProgramResult> runProgram(std::span<const std::string> argv, std::string_view cwd) {
  if (argv.empty()) return fail(Error::InvalidArgument);
  auto out_pipe = makePipe();
  if (!out_pipe) return fail(out_pipe.error());
  auto err_pipe = makePipe();
  if (!err_pipe) return fail(err_pipe.error());

  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const std::string dir(cwd);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe->write.get(), 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe->write.get(), 2);
  if (!dir.empty()) posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return fail(errorFromErrno(rc));
  out_pipe->write.reset();
  err_pipe->write.reset();

  ProgramResult result;
  auto drained = drain(out_pipe->read, err_pipe->read, result.out, result.err);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return fail(lastError());
  }
  if (!drained) return fail(drained.error());
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace quellsig::platform
