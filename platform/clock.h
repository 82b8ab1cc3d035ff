// The real-time clock, and a monotonic clock for elapsed times and deadlines.
// Any thread may call these.
#pragma once

#include <cstdint>

namespace quellsig::platform {

// Wall-clock time since the epoch; 0 when the clock cannot be read.
std::uint64_t wallClockSeconds();
std::uint64_t wallClockMillis();
std::uint64_t wallClockNanos();
// Monotonic time, for measuring elapsed time and timeouts. Take elapsed times
// as a difference of nanoseconds: a difference of whole milliseconds can
// exceed the truncated elapsed time by one.
std::uint64_t monotonicNanos();
std::uint64_t monotonicMillis();
// CPU time the calling thread has used, for measurements on a busy machine.
std::uint64_t threadCpuNanos();
void sleepMillis(std::uint64_t ms);

}  // namespace quellsig::platform
