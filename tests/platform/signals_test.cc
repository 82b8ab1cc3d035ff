#include "platform/signals.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/log_socket.h"
#include "tests/support/child_process.h"

namespace quellsig::platform {
namespace {

constexpr int kSigpipe = 13;

// The daemon installs the handler before anything else, so that a write to a
// connection the MTA has closed fails instead of ending the process.
TEST(SignalsTest, BrokenPipeSignalDoesNotEndTheProcessOnceHandled) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        if (!ignoreBrokenPipe()) std::exit(2);
        (void)testutil::sendSignal(processId(), kSigpipe);
        std::exit(7);
      },
      ::testing::ExitedWithCode(7), "");
  // Without it the signal is fatal: the check above can tell the two apart.
  EXPECT_EXIT((void)testutil::sendSignal(processId(), kSigpipe), ::testing::KilledBySignal(kSigpipe), "");
}

}  // namespace
}  // namespace quellsig::platform
