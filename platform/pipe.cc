#include "platform/pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/system_error.h"

namespace quellsig::platform {
namespace {

bool makeNonBlocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

Error pipeError(int err) {
  Error e = errorFromErrno(err);
  if (e == Error::ProcessFdQuotaExceeded || e == Error::SystemFdQuotaExceeded) return e;
  return Error::Unexpected;
}

}  // namespace

Result<Pipe> createPipe(PipeOptions options) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return fail(pipeError(errno));
  Pipe p{UniqueFd(fds[0]), UniqueFd(fds[1])};
  if (options.nonblocking_read && !makeNonBlocking(p.read_end.get())) return fail(pipeError(errno));
  if (options.nonblocking_write && !makeNonBlocking(p.write_end.get())) {
    return fail(pipeError(errno));
  }
  return p;
}

Result<std::size_t> readPipe(int read_end, std::span<char> out) {
  for (;;) {
    ssize_t n = ::read(read_end, out.data(), out.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return fail(lastError());
  }
}

Result<void> sendWakeByte(int write_end) {
  const char byte = 0x01;
  for (;;) {
    if (::write(write_end, &byte, 1) == 1) return {};
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return {};
    return fail(lastError());
  }
}

void drainPipe(int read_end) {
  char buf[64];
  for (;;) {
    ssize_t n = ::read(read_end, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < static_cast<ssize_t>(sizeof buf)) return;
  }
}

}  // namespace quellsig::platform
