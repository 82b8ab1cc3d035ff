#include <iostream>
#include <string_view>
#include <vector>

#include "dns/resolver_key_lookup.h"
#include "tools/check/check.h"
#include "tools/common/output.h"

int main(int argc, char** argv) {
  quellsig::ignoreBrokenPipe();
  std::vector<std::string_view> args(argv + 1, argv + argc);
  int status = quellsig::runCheck(args, quellsig::makeToolKeyLookup, std::cout, std::cerr);
  return quellsig::finishTool(status, "quellsig-check", "could not write the results");
}
