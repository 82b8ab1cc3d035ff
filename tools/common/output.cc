#include "tools/common/output.h"

#include <csignal>
#include <cstdio>
#include <iostream>

namespace quellsig {

void ignoreBrokenPipe() { std::signal(SIGPIPE, SIG_IGN); }

bool finishStandardOutput() {
  std::cout.flush();
  bool ok = std::cout.good();
  ok = std::fflush(stdout) == 0 && ok;
  ok = std::ferror(stdout) == 0 && ok;
  return std::fclose(stdout) == 0 && ok;
}

int finishTool(int status, std::string_view program, std::string_view could_not_write) {
  if (finishStandardOutput() || status != 0) return status;
  std::cerr << program << ": " << could_not_write << '\n';
  return 2;
}

}  // namespace quellsig
