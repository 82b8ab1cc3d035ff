#include <cstdio>
#include <string_view>
#include <vector>

#include "tools/common/output.h"
#include "tools/sign/sign_tool.h"

int main(int argc, char** argv) {
  quellsig::ignoreBrokenPipe();
  std::vector<std::string_view> args(argv + 1, argv + argc);
  int status = quellsig::runSignTool(args, stdout, stderr);
  return quellsig::finishTool(status, "quellsig-sign", quellsig::kSignWriteFailure);
}
