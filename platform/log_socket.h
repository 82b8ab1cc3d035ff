// What the logger needs of the system: the local syslog socket, standard
// error and the process id.
//
// connectLogSocket opens a non-blocking local datagram socket connected to
// path; on any failure it closes what it opened and returns the error.
// sendRecord and writeStandardError never report failure: a lost record is
// lost (the logger never fails its caller). Safe from any thread.
#pragma once

#include <span>
#include <string_view>

#include "platform/error.h"
#include "platform/fd.h"

namespace quellsig::platform {

// The system's syslog socket (_PATH_LOG).
std::string_view defaultLogSocketPath();

Result<UniqueFd> connectLogSocket(std::string_view path);
void sendRecord(int fd, std::string_view record);
// Writes bytes to descriptor 2, retrying short writes, ignoring errors.
void writeStandardError(std::string_view bytes);
int processId();

}  // namespace quellsig::platform
