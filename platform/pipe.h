// Pipes between the daemon's threads and processes: the shutdown pipe, the
// workers' wake pipes and the readiness pipe of a start in the background.
//
// createPipe makes a pipe whose two ends are closed on exec, each end
// non-blocking when asked. It fails with ProcessFdQuotaExceeded when the
// process has no free descriptor, SystemFdQuotaExceeded when the system has
// none, Unexpected otherwise. The caller owns both ends.
//
// readPipe reads what is there into out, at most out.size() bytes; 0 is end
// of file.
//
// sendWakeByte writes the byte 0x01 to a non-blocking write end; a full pipe
// already holds a wake-up, so would-block counts as success. drainPipe reads
// and discards 64 bytes at a time until a read returns fewer or fails (the
// read end must be non-blocking). Any thread may call these on ends it uses.
#pragma once

#include <cstddef>
#include <span>

#include "platform/error.h"
#include "platform/fd.h"

namespace quellsig::platform {

struct Pipe {
  UniqueFd read_end;
  UniqueFd write_end;
};

struct PipeOptions {
  bool nonblocking_read = false;
  bool nonblocking_write = false;
};

Result<Pipe> createPipe(PipeOptions options = {});
Result<std::size_t> readPipe(int read_end, std::span<char> out);
Result<void> sendWakeByte(int write_end);
void drainPipe(int read_end);

}  // namespace quellsig::platform
