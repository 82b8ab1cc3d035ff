// The contract between libFuzzer, the shared fuzz support and one target.
//
// A target defines LLVMFuzzerTestOneInput (libFuzzer's entry point) and
// fuzzDictionary, the tokens the mutator splices into inputs (handed to
// libFuzzer as a -dict file, see fuzz/support.cc). FUZZ_CHECK states an
// invariant: when it fails the target aborts, and libFuzzer saves the
// current input as a crash artifact.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace quellsig::fuzz {

std::span<const std::string_view> fuzzDictionary();

[[noreturn]] void invariantFailed(const char* condition, const char* file, int line);

// True when `part` is empty or lies inside `whole`: results that borrow must
// borrow from their input.
inline bool within(std::string_view part, std::string_view whole) {
  return part.empty() ||
         (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

}  // namespace quellsig::fuzz

#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) ::quellsig::fuzz::invariantFailed(#condition, __FILE__, __LINE__); \
  } while (0)
