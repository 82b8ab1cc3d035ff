#include "tools/common/output.h"

#include <csignal>
#include <cstdio>

namespace quellsig {

void ignoreBrokenPipe() { std::signal(SIGPIPE, SIG_IGN); }

// std::cout stays synchronised with stdio (the default), so its writes are
// in stdout's buffer and its errors in stdout's error flag; plain stdio here
// keeps the iostream machinery out of the tools that do not use it.
bool finishStandardOutput() {
  bool ok = std::fflush(stdout) == 0;
  ok = std::ferror(stdout) == 0 && ok;
  return std::fclose(stdout) == 0 && ok;
}

int finishTool(int status, std::string_view program, std::string_view could_not_write) {
  if (finishStandardOutput() || status != 0) return status;
  std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(program.size()), program.data(),
               static_cast<int>(could_not_write.size()), could_not_write.data());
  return 2;
}

}  // namespace quellsig
