#include <iostream>
#include <string_view>
#include <vector>

#include "tools/genkey/genkey.h"

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  const int status = quellsig::runGenkey(args, std::cout, std::cerr);
  std::cout.flush();
  return status;
}
