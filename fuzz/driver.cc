// A small coverage-guided mutation driver for the fuzz targets.
//
//   fuzz_<target> [--seconds N] [--seed N] [--max-len N] [--save DIR]
//                 [--artifacts DIR] PATH...
//
// Every file named (directly or inside a directory) is run once; with
// --seconds 0 (the default) that is all, which is how a crash artifact is
// replayed. Otherwise the driver mutates the corpus for N seconds, keeping
// inputs that reach new edges or new hit-count buckets, and writes those to
// --save DIR when given. A sanitizer report or a failed FUZZ_CHECK writes the
// input being run to --artifacts DIR (default: the working directory) as
// crash-<hash> before the process dies.
//
// Coverage comes from -fsanitize-coverage=trace-pc in the instrumented
// libraries: every basic block calls __sanitizer_cov_trace_pc, which folds
// the previous and current block addresses into one byte counter (AFL-style
// edges). The driver itself must not be built with that flag, or the
// callback would recurse.
#include "fuzz/driver.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kMapSize = 1 << 16;
std::array<std::uint8_t, kMapSize> g_counters{};
std::array<std::uint8_t, kMapSize> g_seen{};  // hit-count buckets seen so far
std::uintptr_t g_previous = 0;

const std::vector<std::uint8_t>* g_current = nullptr;
std::filesystem::path g_artifacts = ".";

}  // namespace

extern "C" void __sanitizer_cov_trace_pc() {
  auto pc = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  std::size_t edge = ((pc >> 4) ^ (pc >> 20) ^ g_previous) & (kMapSize - 1);
  ++g_counters[edge];
  g_previous = ((pc >> 4) ^ (pc >> 20)) >> 1;
}

// Provided by the sanitizer runtime.
extern "C" void __sanitizer_set_death_callback(void (*callback)());

namespace quellsig::fuzz {
namespace {

std::uint64_t fnv1a(const std::vector<std::uint8_t>& bytes) {
  std::uint64_t h = 1469598103934665603ull;
  for (std::uint8_t b : bytes) h = (h ^ b) * 1099511628211ull;
  return h;
}

void saveArtifact() {
  if (g_current == nullptr) return;
  char name[32];
  std::snprintf(name, sizeof name, "crash-%016llx",
                static_cast<unsigned long long>(fnv1a(*g_current)));
  std::filesystem::path path = g_artifacts / name;
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(g_current->data()),
            static_cast<std::streamsize>(g_current->size()));
  std::fprintf(stderr, "fuzz: input written to %s (%zu bytes)\n", path.c_str(), g_current->size());
}

std::uint8_t bucket(std::uint8_t count) {
  if (count == 0) return 0;
  if (count == 1) return 1;
  if (count == 2) return 2;
  if (count == 3) return 4;
  if (count < 8) return 8;
  if (count < 16) return 16;
  if (count < 32) return 32;
  if (count < 128) return 64;
  return 128;
}

// Runs one input from an exactly sized heap copy, so that a read one past
// the end is caught; true when it reached coverage not seen before.
bool execute(const std::vector<std::uint8_t>& input) {
  g_counters.fill(0);
  g_previous = 0;
  g_current = &input;
  auto copy = std::make_unique<std::uint8_t[]>(std::max<std::size_t>(input.size(), 1));
  std::copy(input.begin(), input.end(), copy.get());
  LLVMFuzzerTestOneInput(input.empty() ? nullptr : copy.get(), input.size());
  g_current = nullptr;
  bool fresh = false;
  for (std::size_t i = 0; i < kMapSize; ++i) {
    if (g_counters[i] == 0) continue;
    std::uint8_t b = bucket(g_counters[i]);
    if ((g_seen[i] & b) == 0) {
      g_seen[i] |= b;
      fresh = true;
    }
  }
  return fresh;
}

std::size_t coveredEdges() {
  return static_cast<std::size_t>(
      std::count_if(g_seen.begin(), g_seen.end(), [](std::uint8_t b) { return b != 0; }));
}

class Mutator {
 public:
  Mutator(std::uint64_t seed, std::size_t max_len) : rng_(seed), max_len_(max_len) {}

  std::size_t below(std::size_t n) {
    return n == 0 ? 0 : std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
  }

  void mutate(std::vector<std::uint8_t>& data,
              const std::vector<std::vector<std::uint8_t>>& corpus) {
    std::size_t rounds = 1 + below(below(8) + 1);
    for (std::size_t r = 0; r < rounds; ++r) mutateOnce(data, corpus);
    if (data.size() > max_len_) data.resize(max_len_);
  }

 private:
  static constexpr std::array<std::uint8_t, 12> kInteresting = {0x00, 0x01, 0x3f, 0x40, 0x7f, 0x80,
                                                                0xbf, 0xc0, 0xfe, 0xff, '\r', '\n'};

  void insertBytes(std::vector<std::uint8_t>& data, std::size_t at, std::string_view bytes) {
    data.insert(data.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin(), bytes.end());
  }

  void mutateOnce(std::vector<std::uint8_t>& data,
                  const std::vector<std::vector<std::uint8_t>>& corpus) {
    auto dictionary = fuzzDictionary();
    switch (below(11)) {
      case 0:  // flip one bit
        if (!data.empty()) data[below(data.size())] ^= static_cast<std::uint8_t>(1u << below(8));
        break;
      case 1:  // random byte
        if (!data.empty()) data[below(data.size())] = static_cast<std::uint8_t>(below(256));
        break;
      case 2:  // interesting byte
        if (!data.empty()) data[below(data.size())] = kInteresting[below(kInteresting.size())];
        break;
      case 3: {  // insert random bytes
        std::size_t n = 1 + below(8);
        std::size_t at = below(data.size() + 1);
        for (std::size_t i = 0; i < n; ++i) {
          data.insert(data.begin() + static_cast<std::ptrdiff_t>(at),
                      static_cast<std::uint8_t>(below(256)));
        }
        break;
      }
      case 4: {  // erase a range
        if (data.empty()) break;
        std::size_t at = below(data.size());
        std::size_t n = 1 + below(std::min<std::size_t>(data.size() - at, 16));
        data.erase(data.begin() + static_cast<std::ptrdiff_t>(at),
                   data.begin() + static_cast<std::ptrdiff_t>(at + n));
        break;
      }
      case 5: {  // duplicate a range
        if (data.empty()) break;
        std::size_t at = below(data.size());
        std::size_t n = 1 + below(std::min<std::size_t>(data.size() - at, 64));
        std::vector<std::uint8_t> piece(data.begin() + static_cast<std::ptrdiff_t>(at),
                                        data.begin() + static_cast<std::ptrdiff_t>(at + n));
        std::size_t times = 1 + below(below(64) + 1);
        std::size_t to = below(data.size() + 1);
        for (std::size_t i = 0; i < times && data.size() < max_len_; ++i) {
          data.insert(data.begin() + static_cast<std::ptrdiff_t>(to), piece.begin(), piece.end());
        }
        break;
      }
      case 6:
      case 7: {  // dictionary token, inserted or overwriting
        if (dictionary.empty()) break;
        std::string_view token = dictionary[below(dictionary.size())];
        std::size_t at = below(data.size() + 1);
        if (below(2) == 0 || at + token.size() > data.size()) {
          insertBytes(data, at, token);
        } else {
          std::copy(token.begin(), token.end(), data.begin() + static_cast<std::ptrdiff_t>(at));
        }
        break;
      }
      case 8: {  // splice with another corpus entry
        const auto& other = corpus[below(corpus.size())];
        if (other.empty()) break;
        std::size_t from = below(other.size());
        std::size_t n = 1 + below(other.size() - from);
        std::size_t at = below(data.size() + 1);
        if (below(2) == 0) data.resize(at);
        data.insert(data.begin() + static_cast<std::ptrdiff_t>(at),
                    other.begin() + static_cast<std::ptrdiff_t>(from),
                    other.begin() + static_cast<std::ptrdiff_t>(from + n));
        break;
      }
      case 9: {  // add to a 16-bit big-endian field (counts and lengths on the wire)
        if (data.size() < 2) break;
        std::size_t at = below(data.size() - 1);
        unsigned v =
            (unsigned{data[at]} << 8 | data[at + 1]) + static_cast<unsigned>(below(33)) - 16u;
        data[at] = static_cast<std::uint8_t>(v >> 8);
        data[at + 1] = static_cast<std::uint8_t>(v);
        break;
      }
      default:  // truncate
        if (!data.empty()) data.resize(below(data.size()));
        break;
    }
  }

  std::mt19937_64 rng_;
  std::size_t max_len_;
};

bool readFile(const std::filesystem::path& path, std::vector<std::uint8_t>& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

int usage() {
  std::fprintf(stderr,
               "usage: fuzz_<target> [--seconds N] [--seed N] [--max-len N] [--save DIR] "
               "[--artifacts DIR] PATH...\n");
  return 2;
}

}  // namespace

void invariantFailed(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "fuzz: invariant failed at %s:%d: %s\n", file, line, condition);
  saveArtifact();
  std::abort();
}

}  // namespace quellsig::fuzz

int main(int argc, char** argv) {
  using namespace quellsig::fuzz;
  long seconds = 0;
  std::uint64_t seed =
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  std::size_t max_len = 4096;
  std::filesystem::path save;
  std::vector<std::filesystem::path> paths;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    bool has_value = i + 1 < argc;
    if (arg == "--seconds" && has_value) {
      seconds = std::strtol(argv[++i], nullptr, 10);
    } else if (arg == "--seed" && has_value) {
      seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--max-len" && has_value) {
      max_len = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--save" && has_value) {
      save = argv[++i];
    } else if (arg == "--artifacts" && has_value) {
      g_artifacts = argv[++i];
    } else if (arg.starts_with("--")) {
      return usage();
    } else {
      paths.emplace_back(arg);
    }
  }
  __sanitizer_set_death_callback(saveArtifact);

  std::vector<std::filesystem::path> files;
  for (const auto& p : paths) {
    std::error_code ec;
    if (std::filesystem::is_directory(p, ec)) {
      for (const auto& entry : std::filesystem::directory_iterator(p)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
    } else {
      files.push_back(p);
    }
  }
  std::sort(files.begin(), files.end());

  std::vector<std::vector<std::uint8_t>> corpus;
  for (const auto& f : files) {
    std::vector<std::uint8_t> data;
    if (!readFile(f, data)) {
      std::fprintf(stderr, "fuzz: cannot read %s\n", f.c_str());
      return 2;
    }
    execute(data);
    corpus.push_back(std::move(data));
  }
  std::fprintf(stderr, "fuzz: ran %zu inputs, %zu edges\n", corpus.size(), coveredEdges());
  if (seconds <= 0) return 0;
  if (corpus.empty()) corpus.emplace_back();
  if (!save.empty()) std::filesystem::create_directories(save);

  Mutator mutator(seed, max_len);
  using Clock = std::chrono::steady_clock;
  auto start = Clock::now();
  auto deadline = start + std::chrono::seconds(seconds);
  auto next_report = start + std::chrono::seconds(10);
  std::uint64_t executions = 0;
  std::vector<std::uint8_t> input;
  for (;;) {
    if ((executions & 255) == 0) {
      auto now = Clock::now();
      if (now >= deadline) break;
      if (now >= next_report) {
        std::fprintf(stderr, "fuzz: %llu execs, corpus %zu, %zu edges\n",
                     static_cast<unsigned long long>(executions), corpus.size(), coveredEdges());
        next_report = now + std::chrono::seconds(10);
      }
    }
    input = corpus[mutator.below(corpus.size())];
    mutator.mutate(input, corpus);
    ++executions;
    if (execute(input)) {
      if (!save.empty()) {
        char name[32];
        std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(fnv1a(input)));
        std::ofstream out(save / name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(input.data()),
                  static_cast<std::streamsize>(input.size()));
      }
      corpus.push_back(input);
    }
  }
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  std::fprintf(stderr, "fuzz: done: %llu execs in %.0f s (%.0f/s), corpus %zu, %zu edges\n",
               static_cast<unsigned long long>(executions), elapsed,
               static_cast<double>(executions) / elapsed, corpus.size(), coveredEdges());
  return 0;
}
