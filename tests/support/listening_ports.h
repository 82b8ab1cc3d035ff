// Whether TCP ports listen on an address, read from the system's socket
// table (ss) without connecting: a probe connection would be a session to
// the server under test (a filter would log it, Postfix would greet it).
// listeningOn is false when ss cannot be run; waitUntilListening polls it
// until every port listens or timeout_ms has passed. Any thread.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace quellsig::testutil {

bool listeningOn(std::string_view address, const std::vector<std::uint16_t>& ports);
bool waitUntilListening(std::string_view address, const std::vector<std::uint16_t>& ports,
                        std::uint32_t timeout_ms);

}  // namespace quellsig::testutil
