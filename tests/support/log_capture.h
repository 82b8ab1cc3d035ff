// LogCapture: while alive, the calling thread's log records go to a private
// datagram socket at debug level instead of standard error or syslog.
// messages() returns the text of each record received so far (after
// "identity[pid]: "). Records of other threads are not captured unless those
// threads call openLogConnection() while the capture is alive. A capture
// whose socket cannot be bound aborts the test binary, as no check of what
// was (not) logged could be trusted. One thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "log/log.h"
#include "platform/fd.h"
#include "tests/support/private_dir.h"

namespace quellsig::testing {

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  bool ok() const { return fd_.valid(); }

  // Every record received so far, accumulated across calls.
  const std::vector<std::string>& messages();
  // Number of received messages equal to text.
  int count(std::string_view text);
  void clear();

 private:
  testutil::PrivateDir dir_;
  platform::UniqueFd fd_;
  LogSettings saved_;
  std::vector<std::string> messages_;
};

}  // namespace quellsig::testing
