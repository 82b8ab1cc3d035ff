#include "platform/limits.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <limits>

#include "platform/system_error.h"

namespace quellsig::platform {
namespace {

constexpr std::int64_t kUnlimited = std::numeric_limits<std::int64_t>::max();

std::int64_t fromSystem(rlim_t v) {
  if (v == RLIM_INFINITY || v > static_cast<rlim_t>(kUnlimited)) return kUnlimited;
  return static_cast<std::int64_t>(v);
}

rlim_t toSystem(std::int64_t v) {
  if (v == kUnlimited) return RLIM_INFINITY;
  return static_cast<rlim_t>(v < 0 ? 0 : v);
}

}  // namespace

Result<DescriptorLimits> descriptorLimits() {
  rlimit rl{};
  if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) return fail(lastError());
  return DescriptorLimits{fromSystem(rl.rlim_cur), fromSystem(rl.rlim_max)};
}

Result<void> setDescriptorSoftLimit(std::int64_t soft) {
  rlimit rl{};
  if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) return fail(lastError());
  rl.rlim_cur = toSystem(soft);
  if (::setrlimit(RLIMIT_NOFILE, &rl) != 0) return fail(lastError());
  return {};
}

std::optional<std::uint32_t> cpuCount() {
  long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  if (n < 1 || n > static_cast<long>(std::numeric_limits<std::uint32_t>::max())) return std::nullopt;
  return static_cast<std::uint32_t>(n);
}

}  // namespace quellsig::platform
