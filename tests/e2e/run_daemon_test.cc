// The README's first command, scripts/run-daemon, run as the test suite can:
// on the programs of this build tree, on free ports, stopping after its
// sample message. It must show a signature the daemon added that its own
// verifying listener passes, and leave nothing behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/log_socket.h"
#include "tests/support/listening_ports.h"
#include "tests/support/nsd_server.h"
#include "tests/support/run_program.h"

namespace quellsig {
namespace {

namespace fs = std::filesystem;

TEST(RunDaemonTest, DemoSignsAndVerifiesOneMessageAndCleansUp) {
  if (!fs::exists(QUELLSIG_BIN_DIR "/bench/milter_load")) {
    GTEST_SKIP() << "the load generator is built with -DQUELLSIG_BENCH=ON";
  }
  const std::string loopback = "127.0.0.1";
  const std::uint16_t verify_port = testing::pickFreePort(loopback);
  std::uint16_t sign_port = testing::pickFreePort(loopback);
  while (sign_port == verify_port) sign_port = testing::pickFreePort(loopback);
  ASSERT_NE(verify_port, 0);
  ASSERT_NE(sign_port, 0);
  // A nameserver address of this run's own: port 53 of another may be taken.
  const std::string dns = "127.54." + std::to_string(platform::processId() % 250) + ".1";
  const std::vector<std::string> argv = {
      "/usr/bin/env",
      "QUELLSIG_DEMO_ONCE=1",
      "QUELLSIG_DEMO_PREBUILT=1",
      "QUELLSIG_DEMO_BUILD=" QUELLSIG_BIN_DIR,
      "QUELLSIG_DEMO_VERIFY_PORT=" + std::to_string(verify_port),
      "QUELLSIG_DEMO_SIGN_PORT=" + std::to_string(sign_port),
      "QUELLSIG_DEMO_DNS=" + dns,
      "/bin/bash",
      QUELLSIG_SOURCE_DIR "/scripts/run-daemon"};
  auto r = testutil::runProgram(argv, "");
  ASSERT_TRUE(r.has_value());
  const std::string all = r->out + r->err;
  EXPECT_EQ(r->exit_status, 0) << all;

  const auto signature = r->out.find("The daemon added:\nDKIM-Signature: v=1;");
  ASSERT_NE(signature, std::string::npos) << all;
  EXPECT_NE(r->out.find("d=example.com; s=demo;", signature), std::string::npos) << all;
  const auto result =
      r->out.find("The daemon added:\nAuthentication-Results: mx.example.com;", signature);
  ASSERT_NE(result, std::string::npos) << all;
  EXPECT_NE(r->out.find("dkim=pass header.d=example.com header.s=demo", result),
            std::string::npos)
      << all;
  // The daemon's records of both messages reached the terminal.
  EXPECT_NE(r->err.find("from=alice@example.com listener=1 mode=sign"), std::string::npos) << all;
  EXPECT_NE(r->err.find("from=alice@example.com listener=0 mode=verify"), std::string::npos)
      << all;

  // Its scratch directory is gone and nothing listens any more.
  const std::string marker = "== quellsig -c ";
  const auto at = r->out.find(marker);
  ASSERT_NE(at, std::string::npos) << all;
  const std::string conf = r->out.substr(at + marker.size(),
                                         r->out.find('\n', at) - at - marker.size());
  EXPECT_FALSE(fs::exists(fs::path(conf).parent_path())) << conf;
  EXPECT_FALSE(testutil::listeningOn(loopback, {verify_port}));
  EXPECT_FALSE(testutil::listeningOn(loopback, {sign_port}));
}

}  // namespace
}  // namespace quellsig
