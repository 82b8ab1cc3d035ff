#include "tests/support/run_program.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/fd.h"
#include "platform/system_error.h"
#include "tests/support/child_process.h"

namespace quellsig::testutil {
namespace {

// Reads both descriptors until each reaches end of file.
Result<void> drain(platform::UniqueFd& out_fd, platform::UniqueFd& err_fd, std::string& out, std::string& err) {
  char buf[4096];
  while (out_fd.valid() || err_fd.valid()) {
    pollfd pfds[2] = {{out_fd.get(), POLLIN, 0}, {err_fd.get(), POLLIN, 0}};
    if (::poll(pfds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return fail(platform::lastError());
    }
    platform::UniqueFd* fds[2] = {&out_fd, &err_fd};
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
  SpawnOptions options;
  options.working_dir = cwd;
  auto child = spawnProcess(argv, options);
  if (!child) return fail(child.error());

  ProgramResult result;
  auto drained = drain(child->out, child->err, result.out, result.err);
  int status = 0;
  while (::waitpid(child->pid, &status, 0) < 0) {
    if (errno != EINTR) return fail(platform::lastError());
  }
  if (!drained) return fail(drained.error());
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace quellsig::testutil
