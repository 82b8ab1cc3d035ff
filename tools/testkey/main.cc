#include <iostream>
#include <string_view>
#include <vector>

#include "dns/resolver_key_lookup.h"
#include "tools/testkey/testkey.h"

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  return quellsig::runTestkey(args, quellsig::makeToolKeyLookup, std::cout, std::cerr);
}
