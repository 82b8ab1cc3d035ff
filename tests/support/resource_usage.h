// Resource figures of the calling process (benchmarks).
//
// childrenPeakResidentKib: the largest peak resident set, in KiB, of any
// child process this process has waited for so far; 0 when unknown. Any
// thread may call it.
#pragma once

#include <cstdint>

namespace quellsig::testutil {

std::uint64_t childrenPeakResidentKib();

}  // namespace quellsig::testutil
