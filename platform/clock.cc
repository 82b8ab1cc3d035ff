#include "platform/clock.h"

#include <time.h>

#include <cerrno>

namespace quellsig::platform {
namespace {

std::uint64_t readNanos(clockid_t id) {
  timespec ts{};
  if (::clock_gettime(id, &ts) != 0 || ts.tv_sec < 0) return 0;
  return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u +
         static_cast<std::uint64_t>(ts.tv_nsec);
}

}  // namespace

std::uint64_t wallClockNanos() { return readNanos(CLOCK_REALTIME); }
std::uint64_t wallClockMillis() { return wallClockNanos() / 1'000'000u; }
std::uint64_t wallClockSeconds() { return wallClockNanos() / 1'000'000'000u; }
std::uint64_t monotonicNanos() { return readNanos(CLOCK_MONOTONIC); }
std::uint64_t monotonicMillis() { return monotonicNanos() / 1'000'000u; }
std::uint64_t threadCpuNanos() { return readNanos(CLOCK_THREAD_CPUTIME_ID); }

void sleepMillis(std::uint64_t ms) {
  timespec req{static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1'000'000)};
  while (::nanosleep(&req, &req) != 0 && errno == EINTR) {
  }
}

}  // namespace quellsig::platform
