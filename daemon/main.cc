// quellsig: the DKIM mail filter daemon. Usage: quellsig -c <config-file>
#include <string_view>
#include <vector>

#include "daemon/startup.h"
#include "platform/signals.h"

int main(int argc, char** argv) {
  // Before anything else: a write to a closed connection must fail, not end
  // the process. A failure here leaves the default, which is no worse.
  (void)quellsig::platform::ignoreBrokenPipe();
  std::vector<std::string_view> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return quellsig::runDaemon(args);
}
