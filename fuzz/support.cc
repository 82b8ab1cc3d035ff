// What every fuzz target shares besides libFuzzer: the invariant failure,
// and the writing of a target's dictionary in libFuzzer's format.
//
// Run with QUELLSIG_FUZZ_WRITE_DICT=<path>, a target writes fuzzDictionary()
// to <path> (one quoted token a line, bytes outside printable ASCII as \xNN)
// and exits before fuzzing; scripts/fuzz hands the file back with -dict=.
// The tokens stay in the target's source, beside the code they exercise.
#include <cstdio>
#include <cstdlib>

#include "fuzz/driver.h"

namespace quellsig::fuzz {
namespace {

bool writeDictionary(const char* path) {
  std::FILE* out = std::fopen(path, "w");
  if (out == nullptr) return false;
  for (std::string_view token : fuzzDictionary()) {
    std::fputc('"', out);
    for (char c : token) {
      auto byte = static_cast<unsigned char>(c);
      if (byte < 0x20 || byte >= 0x7f || c == '"' || c == '\\') {
        std::fprintf(out, "\\x%02x", byte);
      } else {
        std::fputc(c, out);
      }
    }
    std::fputs("\"\n", out);
  }
  return std::fclose(out) == 0;
}

}  // namespace

void invariantFailed(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "fuzz: invariant failed at %s:%d: %s\n", file, line, condition);
  // libFuzzer's deadly-signal handler saves the input being run.
  std::abort();
}

}  // namespace quellsig::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (const char* path = std::getenv("QUELLSIG_FUZZ_WRITE_DICT")) {
    std::exit(quellsig::fuzz::writeDictionary(path) ? 0 : 2);
  }
  return 0;
}
