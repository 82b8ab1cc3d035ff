#include <cstdio>
#include <string_view>
#include <vector>

#include "tools/sign/sign_tool.h"

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  return quellsig::runSignTool(args, stdout, stderr);
}
