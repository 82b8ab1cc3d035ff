#include "tests/support/resource_usage.h"

#include <sys/resource.h>

namespace quellsig::testutil {

std::uint64_t childrenPeakResidentKib() {
  struct rusage usage {};
  if (::getrusage(RUSAGE_CHILDREN, &usage) != 0) return 0;
  // Linux reports KiB; the BSDs report kilobytes as well.
  return usage.ru_maxrss > 0 ? static_cast<std::uint64_t>(usage.ru_maxrss) : 0;
}

}  // namespace quellsig::testutil
