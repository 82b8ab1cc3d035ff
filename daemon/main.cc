// quellsig: the DKIM mail filter daemon. Usage: quellsig -c <config-file>
#include <string_view>
#include <vector>

#include "daemon/startup.h"
#include "platform/signals.h"
#include "platform/standard_descriptors.h"

int main(int argc, char** argv) {
  // A closed standard descriptor would be handed to the first descriptor
  // made, which would then receive what is written to standard error.
  if (!quellsig::platform::openMissingStandardDescriptors()) return 1;
  // Before anything else: a write to a closed connection must fail, not end
  // the process. A failure here leaves the default, which is no worse.
  (void)quellsig::platform::ignoreBrokenPipe();
  std::vector<std::string_view> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return quellsig::runDaemon(args);
}
