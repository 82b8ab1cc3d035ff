#include "tests/support/test_account.h"

#include <vector>

#include "platform/log_socket.h"
#include "tests/support/run_program.h"

namespace quellsig::testutil {

TestAccount::TestAccount(std::string_view prefix)
    : name_(std::string(prefix) + std::to_string(platform::processId())) {
  std::vector<std::string> add = {"/usr/sbin/useradd", "-M", "-U", "-s", "/usr/sbin/nologin",
                                  name_};
  auto r = runProgram(add, "");
  if (r && r->exit_status == 0) {
    auto a = platform::lookupUser(name_);
    if (a) account_ = *a;
  }
}

TestAccount::~TestAccount() {
  std::vector<std::string> del = {"/usr/sbin/userdel", name_};
  (void)runProgram(del, "");
  std::vector<std::string> gdel = {"/usr/sbin/groupdel", name_};
  (void)runProgram(gdel, "");
}

}  // namespace quellsig::testutil
