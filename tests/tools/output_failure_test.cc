// What each tool does when its standard output fails: a full device or a
// reader that goes away gives the tool's "could not write" line and exit 2,
// never a silent success or a death by SIGPIPE.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tests/tools/tool_process.h"

namespace quellsig {
namespace {

using testing::runTool;
using testing::ToolRun;
using testutil::TempDir;

const std::string kBin = QUELLSIG_BIN_DIR "/tools/";
const std::string kGenkey = kBin + "genkey/quellsig-genkey";
const std::string kSign = kBin + "sign/quellsig-sign";
const std::string kCheck = kBin + "check/quellsig-check";
const std::string kTestkey = kBin + "testkey/quellsig-testkey";

// Runs `program args...` through bash with `redirect` applied to its
// standard output; the status is the tool's (pipefail), 141 if SIGPIPE killed it.
ToolRun runRedirected(const std::string& redirect, const std::string& program,
                      const std::vector<std::string>& args, const TempDir& dir) {
  std::vector<std::string> argv = {"-c", "set -o pipefail; \"$0\" \"$@\" " + redirect, program};
  argv.insert(argv.end(), args.begin(), args.end());
  return runTool("/bin/bash", argv, dir);
}

TEST(ToolOutputTest, FailedStandardOutputIsAnErrorOfEveryTool) {
  TempDir dir;
  // An Ed25519 key as the key generator writes it (armoured), and a message
  // big enough that a pipe cannot take it whole.
  ToolRun made =
      runTool(kGenkey, {"-a", "ed25519", "-s", "s", "-d", "example.test", "-o", "k.key"}, dir);
  ASSERT_EQ(made.status, 0) << made.err;
  dir.write("plain.eml", "From: a@example.test\r\nTo: b@example.test\r\n\r\nhello\r\n");
  dir.write("big.eml", "From: a@example.test\r\nTo: b@example.test\r\n\r\n" +
                           std::string(1 << 20, 'x') + "\r\n");
  const std::vector<std::string> sign_big = {
      "-a", "ed25519-sha256", "-d", "example.test", "-s", "s", "-k", "k.key", "big.eml"};

  struct Case {
    std::string name;
    std::string program;
    std::vector<std::string> args;
    std::string redirect;
    std::string err;
  } cases[] = {
      {"check to a full device",
       kCheck,
       {"plain.eml"},
       ">/dev/full",
       "quellsig-check: could not write the results\n"},
      {"testkey to a full device",
       kTestkey,
       {"-h"},
       ">/dev/full",
       "quellsig-testkey: could not write the result\n"},
      {"genkey to a full device",
       kGenkey,
       {"-a", "ed25519", "-s", "s", "-d", "example.test", "-o", "full.key"},
       ">/dev/full",
       "quellsig-genkey: could not write the report\n"},
      {"sign to a full device", kSign, sign_big, ">/dev/full",
       "quellsig-sign: could not write the signed message\n"},
      {"sign into a pipe closed early", kSign, sign_big, "| head -c 10 >/dev/null",
       "quellsig-sign: could not write the signed message\n"},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    ToolRun r = runRedirected(tc.redirect, tc.program, tc.args, dir);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, tc.err);
  }
}

}  // namespace
}  // namespace quellsig
