#include <csignal>
#include <iostream>
#include <string_view>
#include <vector>

#include "dns/resolver_key_lookup.h"
#include "tools/check/check.h"

int main(int argc, char** argv) {
  // A closed output gives write errors instead of killing the tool.
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string_view> args(argv + 1, argv + argc);
  return quellsig::runCheck(args, quellsig::makeToolKeyLookup, std::cout, std::cerr);
}
