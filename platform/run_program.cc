#include "platform/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/fd.h"
#include "platform/system_error.h"

extern char** environ;

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
