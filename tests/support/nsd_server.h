// NsdServer: a real authoritative nameserver (Debian's nsd) for tests,
// running in the foreground as the current user, chrooted into its own
// temporary directory, listening on one loopback address and port.
//
// start() writes the configuration, the extra files (for $INCLUDE
// fragments, named relative to dir()) and one zone file per zone into the
// directory, runs "nsd -d -c nsd.conf", and returns once nsd answers a query
// for the first zone (at most 10 s); on failure nsd's output is in
// the error text. Destruction stops nsd (SIGTERM, then SIGKILL) and removes
// the directory. One owner thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/background_process.h"
#include "tests/support/private_dir.h"

namespace quellsig::testing {

struct NsdZone {
  std::string name;  // e.g. "example.test"
  std::string text;  // zone file contents; $INCLUDE paths may name files in dir()
};

struct NsdOptions {
  std::string address = "127.0.0.53";
  std::uint16_t port = 0;  // 0: a free port chosen at start
  std::vector<NsdZone> zones;
  std::vector<std::pair<std::string, std::string>> extra_files;  // name, contents
};

class NsdServer {
 public:
  // Returns null and fills *error when nsd cannot be started.
  static std::unique_ptr<NsdServer> start(NsdOptions options, std::string* error);
  ~NsdServer();

  const std::string& address() const { return options_.address; }
  std::uint16_t port() const { return options_.port; }
  const std::string& dir() const { return dir_.path(); }

 private:
  NsdServer() = default;
  bool launch(std::string* error);

  NsdOptions options_;
  testutil::PrivateDir dir_;
  testutil::BackgroundProcess process_;
};

// A loopback port that was free a moment ago for both UDP and TCP on address.
std::uint16_t pickFreePort(const std::string& address);

}  // namespace quellsig::testing
