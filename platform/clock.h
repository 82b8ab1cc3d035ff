// The real-time clock, and a monotonic clock for elapsed times and deadlines.
// Any thread may call these.
#pragma once

#include <cstdint>

namespace quellsig::platform {

// Wall-clock time since the epoch; 0 when the clock cannot be read.
std::uint64_t wallClockSeconds();
std::uint64_t wallClockMillis();
std::uint64_t wallClockNanos();
// Monotonic milliseconds, for measuring elapsed time and timeouts.
std::uint64_t monotonicMillis();
void sleepMillis(std::uint64_t ms);

}  // namespace quellsig::platform
