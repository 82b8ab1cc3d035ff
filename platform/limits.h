// The process's limit of open descriptors and the number of CPUs.
//
// Limits are signed 64-bit numbers; "unlimited" is INT64_MAX whatever the
// system's own encoding. setDescriptorSoftLimit keeps the hard limit and
// returns the system's refusal by name. cpuCount is empty when the system
// cannot say. Call the setter on the main thread before other threads run.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/error.h"

namespace quellsig::platform {

struct DescriptorLimits {
  std::int64_t soft = 0;
  std::int64_t hard = 0;
};

Result<DescriptorLimits> descriptorLimits();
Result<void> setDescriptorSoftLimit(std::int64_t soft);
std::optional<std::uint32_t> cpuCount();

}  // namespace quellsig::platform
