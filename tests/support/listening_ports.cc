#include "tests/support/listening_ports.h"

#include <algorithm>
#include <string>

#include "platform/clock.h"
#include "tests/support/run_program.h"

namespace quellsig::testutil {

bool listeningOn(std::string_view address, const std::vector<std::uint16_t>& ports) {
  const std::vector<std::string> argv = {"/usr/bin/ss", "-Hltn"};
  auto r = runProgram(argv, "");
  if (!r || r->exit_status != 0) return false;
  return std::ranges::all_of(ports, [&](std::uint16_t port) {
    const std::string local = std::string(address) + ":" + std::to_string(port) + " ";
    return r->out.find(local) != std::string::npos;
  });
}

bool waitUntilListening(std::string_view address, const std::vector<std::uint16_t>& ports,
                        std::uint32_t timeout_ms) {
  constexpr std::uint32_t kPollMs = 50;
  const std::uint64_t deadline = platform::monotonicMillis() + timeout_ms;
  for (;;) {
    if (listeningOn(address, ports)) return true;
    if (platform::monotonicMillis() >= deadline) return false;
    platform::sleepMillis(kPollMs);
  }
}

}  // namespace quellsig::testutil
