#include <iostream>
#include <string_view>
#include <vector>

#include "tools/common/output.h"
#include "tools/genkey/genkey.h"

int main(int argc, char** argv) {
  quellsig::ignoreBrokenPipe();
  std::vector<std::string_view> args(argv + 1, argv + argc);
  int status = quellsig::runGenkey(args, std::cout, std::cerr);
  return quellsig::finishTool(status, "quellsig-genkey", "could not write the report");
}
