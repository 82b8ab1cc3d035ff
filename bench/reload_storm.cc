// reload_storm: SIGHUP storms against the built daemon while milter_load
// keeps it busy, once with replies awaited one at a time (as Postfix sends)
// and once pipelined.
//
// For each sending mode: a warm-up load without reloads, the daemon's
// resident memory, then a load of --seconds seconds during which the daemon
// gets --reloads SIGHUPs at even intervals, and its resident memory again.
// Each SIGHUP goes out only once the previous reload is reported: a signal
// still pending when the next arrives merges with it.
// With the address sanitizer built in, resident memory includes its
// quarantine of freed blocks (256 MiB by default), so only a build without
// the sanitizers gives memory figures worth comparing.
// Every message must be answered with the signing listener's reply ('a'),
// none lost (milter_load's own check of every reply), every reload must
// succeed, and at the end the daemon must shut down with status 0 and
// without a sanitizer report: with the sanitizers built in, a configuration
// freed while a worker read it, or one never reclaimed, ends the run there.
//
// Prints the figures and "storm: ok", or what went wrong; exits 0 or 1.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/inet_address.h"
#include "platform/tcp_stream.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace quellsig;

constexpr int kSighup = 1;
constexpr int kSigterm = 15;
constexpr int kSigkill = 9;
constexpr std::size_t kMaxLogBytes = 256 * 1024 * 1024;
constexpr std::string_view kReloaded = "signing configuration reloaded (generation ";

struct Options {
  unsigned reloads = 50;
  unsigned seconds = 10;
  unsigned connections = 4;
  unsigned workers = 2;
  unsigned warmup_seconds = 3;
};

bool parseNumber(std::string_view text, unsigned& out) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size() && out > 0;
}

bool parseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; i += 2) {
    if (i + 1 >= argc) return false;
    std::string_view key = argv[i];
    unsigned* target = key == "--reloads"       ? &o.reloads
                       : key == "--seconds"     ? &o.seconds
                       : key == "--connections" ? &o.connections
                       : key == "--workers"     ? &o.workers
                       : key == "--warmup"      ? &o.warmup_seconds
                                                : nullptr;
    if (target == nullptr || !parseNumber(argv[i + 1], *target)) return false;
  }
  return true;
}

std::string readLog(const std::string& path) {
  return platform::readRegularFile(path, kMaxLogBytes).value_or("");
}

std::size_t count(std::string_view text, std::string_view needle) {
  std::size_t n = 0;
  for (std::size_t at = text.find(needle); at != std::string_view::npos;
       at = text.find(needle, at + needle.size())) {
    ++n;
  }
  return n;
}

// VmRSS of a process in KiB; 0 when it cannot be read.
unsigned long residentKib(int pid) {
  auto status = platform::readRegularFile("/proc/" + std::to_string(pid) + "/status", 65536);
  if (!status) return 0;
  auto at = status->find("VmRSS:");
  if (at == std::string::npos) return 0;
  return std::strtoul(status->c_str() + at + 6, nullptr, 10);
}

// The highest "<n> awaiting reclamation" the daemon reported.
unsigned long mostAwaiting(std::string_view log) {
  unsigned long most = 0;
  for (std::size_t at = log.find(kReloaded); at != std::string_view::npos;
       at = log.find(kReloaded, at + 1)) {
    std::size_t comma = log.find(", ", at);
    if (comma == std::string_view::npos) break;
    most = std::max(most, std::strtoul(log.data() + comma + 2, nullptr, 10));
  }
  return most;
}

// The record of the n-th reload since start-up.
std::string reloadedRecord(std::size_t n) {
  return std::string(kReloaded) + std::to_string(1 + n) + ",";
}

bool waitFor(const std::string& log_path, std::string_view needle, std::uint64_t ms) {
  const std::uint64_t deadline = platform::monotonicMillis() + ms;
  while (platform::monotonicMillis() < deadline) {
    if (readLog(log_path).find(needle) != std::string::npos) return true;
    platform::sleepMillis(50);
  }
  return false;
}

std::uint16_t freePort() {
  auto any = platform::parseIpLiteral("127.0.0.1", 0);
  if (!any) return 0;
  auto listener = platform::TcpListener::listenOn(*any);
  if (!listener) return 0;
  auto bound = listener->localAddress();
  return bound ? platform::portOf(*bound) : 0;
}

// Runs milter_load to its end, its output appended to out_path; its exit
// status, or -1.
int runLoad(const std::string& target, unsigned seconds, unsigned connections, bool pipeline,
            const std::string& out_path, const std::function<void()>& meanwhile) {
  std::vector<std::string> argv = {QUELLSIG_BIN_DIR "/bench/milter_load",
                                   "--target",
                                   target,
                                   "--duration",
                                   std::to_string(seconds),
                                   "--connections",
                                   std::to_string(connections),
                                   "--expect",
                                   "a"};
  if (pipeline) argv.push_back("--pipeline");
  auto child = testutil::spawnProcess(argv, {.working_dir = "", .output_file = out_path});
  if (!child) return -1;
  if (meanwhile) meanwhile();
  auto st = testutil::waitForExit(child->pid, static_cast<int>(seconds + 60) * 1000);
  if (!st || !*st) {
    (void)testutil::sendSignal(child->pid, kSigkill);
    (void)testutil::waitForExit(child->pid, 10000);
    return -1;
  }
  return (*st)->signaled ? -1 : (*st)->code;
}

int fail(const char* what, const std::string& detail = "") {
  std::printf("storm: FAILED: %s\n%s", what, detail.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parseOptions(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: reload_storm [--reloads N] [--seconds S] [--connections N] "
                 "[--workers N] [--warmup S]\n");
    return 2;
  }
  testutil::TempDir dir("storm");
  const std::string key = dir.file("k1.pem");
  const std::string make_key =
      "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out '" + key +
      "' 2>/dev/null && chmod 600 '" + key + "'";
  if (std::system(make_key.c_str()) != 0) return fail("cannot make a key with openssl");
  dir.write("SigningTable", "*@example.test k1\n");
  dir.write("KeyTable", "k1 example.test:s1:" + key + "\n");
  const std::uint16_t port = freePort();
  if (port == 0) return fail("no free loopback port");
  const std::string target = "inet:127.0.0.1:" + std::to_string(port);
  const std::string conf = dir.write(
      "q.conf", "Foreground = yes\nSyslog = no\nPidFile = " + dir.file("q.pid") +
                    "\nWorkerThreads = " + std::to_string(o.workers) +
                    "\n[listener:sign]\nSocket = inet:" + std::to_string(port) +
                    "@127.0.0.1\nMode = sign\nSigningTable = " + dir.file("SigningTable") +
                    "\nKeyTable = " + dir.file("KeyTable") + "\n");
  const std::string log = dir.file("daemon.log");
  std::vector<std::string> daemon_argv = {QUELLSIG_BIN_DIR "/daemon/quellsig", "-c", conf};
  auto daemon = testutil::spawnProcess(daemon_argv, {.working_dir = "", .output_file = log});
  if (!daemon) return fail("cannot start the daemon");
  auto stop = [&](int signal_number) {
    (void)testutil::sendSignal(daemon->pid, signal_number);
    auto st = testutil::waitForExit(daemon->pid, 60000);
    if (!st || !*st) {
      (void)testutil::sendSignal(daemon->pid, kSigkill);
      (void)testutil::waitForExit(daemon->pid, 10000);
      return -1;
    }
    return (*st)->signaled ? -1 : (*st)->code;
  };
  if (!waitFor(log, "listener[0] mode=sign", 30000)) {
    stop(kSigkill);
    return fail("the daemon did not start", readLog(log));
  }
  platform::sleepMillis(500);  // the workers open their listeners

  std::size_t reloads_seen = 0;
  for (bool pipeline : {false, true}) {
    const char* mode = pipeline ? "pipelined" : "one reply at a time";
    const std::string out = dir.file(pipeline ? "load-pipelined.txt" : "load-sequential.txt");
    if (runLoad(target, o.warmup_seconds, o.connections, pipeline, out, {}) != 0) {
      stop(kSigterm);
      return fail("warm-up load failed", readLog(out));
    }
    const unsigned long before = residentKib(daemon->pid);
    const std::uint64_t interval = std::uint64_t{o.seconds} * 1000 / o.reloads;
    bool reloads_kept_up = true;
    int load = runLoad(target, o.seconds, o.connections, pipeline, out, [&] {
      const std::uint64_t start = platform::monotonicMillis();
      for (unsigned i = 0; i < o.reloads && reloads_kept_up; ++i) {
        const std::uint64_t due = start + (i + 1) * interval;
        const std::uint64_t now = platform::monotonicMillis();
        if (due > now) platform::sleepMillis(due - now);
        (void)testutil::sendSignal(daemon->pid, kSighup);
        reloads_kept_up = waitFor(log, reloadedRecord(reloads_seen + i + 1), 10000);
      }
    });
    const std::string load_text = readLog(out);
    if (!reloads_kept_up) {
      stop(kSigterm);
      return fail("a reload was not reported within 10 s", readLog(log));
    }
    if (load != 0) {
      stop(kSigterm);
      return fail("messages lost or answered wrongly under the storm", load_text);
    }
    reloads_seen += o.reloads;
    const unsigned long after = residentKib(daemon->pid);
    std::printf("%s: %u reloads in %u s under %u connections\n", mode, o.reloads, o.seconds,
                o.connections);
    std::printf("%s", load_text.substr(load_text.rfind("target ")).c_str());
    std::printf("resident memory: before the storm %lu KiB, after %lu KiB (%+ld KiB)\n", before,
                after, static_cast<long>(after) - static_cast<long>(before));
  }
  const std::string daemon_log = readLog(log);
  std::printf("reloads reported: %zu, most configurations awaiting reclamation at once: %lu\n",
              count(daemon_log, kReloaded), mostAwaiting(daemon_log));
  const int status = stop(kSigterm);
  const std::string final_log = readLog(log);
  if (final_log.find("Sanitizer") != std::string::npos) {
    return fail("sanitizer report", final_log.substr(final_log.find("Sanitizer") - 20));
  }
  if (status != 0) return fail("the daemon did not shut down cleanly", final_log);
  if (count(final_log, "keeping previous") != 0) return fail("a reload failed", final_log);
  std::printf("storm: ok\n");
  return 0;
}
