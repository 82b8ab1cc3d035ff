// milter_load: a load generator that speaks the MTA side of the milter
// protocol the way Postfix does, for measuring a filter over loopback.
//
// Each connection runs on its own thread: it negotiates, sends the
// connection data and HELO, then streams messages (several per connection)
// and checks every reply. A message counts as an error when the filter
// answers anything but continue before the end of the message, gives a
// final reply outside --expect, drops the connection, sends a malformed
// packet or stays silent past --timeout; a dropped connection is opened
// again. The latency of a message runs from writing 'E' to reading its final
// reply.
//
// --target self runs the built-in null filter in this process on a free
// loopback port, which measures the generator's own ceiling; --null-filter
// serves that null filter alone for another generator or an MTA.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/thread.h"
#include "tests/support/milter_client.h"
#include "tests/support/null_milter.h"
#include "tests/support/text_file.h"

namespace {

using namespace quellsig;
using namespace quellsig::testing;

constexpr std::uint64_t kMaxDurationS = 600;
constexpr std::size_t kMaxMessageBytes = 64 * 1024 * 1024;
constexpr std::size_t kErrorsShown = 5;

const char kUsage[] =
    "usage: milter_load --target inet:HOST:PORT|unix:PATH|self [options]\n"
    "       milter_load --null-filter inet:HOST:PORT|unix:PATH [--duration S]\n"
    "options:\n"
    "  --connections N   parallel connections (default 1)\n"
    "  --messages N      messages per connection (default 100)\n"
    "  --duration S      send for S seconds instead (at most 600)\n"
    "  --rate R          fixed total rate in messages per second, spread over\n"
    "                    the connections (default: as fast as replies come)\n"
    "  --message FILE    the message to send (default: a generated message)\n"
    "  --size BYTES      size of the generated message (default 2048)\n"
    "  --sender ADDR     envelope sender (default sender@example.test)\n"
    "  --recipient ADDR  envelope recipient (default rcpt@example.test)\n"
    "  --expect CODES    final replies that count as success (default ca)\n"
    "  --timeout MS      limit for connecting and for each reply (default 10000)\n"
    "  --actions N       actions offered (default 0x1FF)\n"
    "  --flags N         protocol flags offered (default 0x1FFFFF)\n"
    "  --pipeline        write each message's commands at once and read the\n"
    "                    replies after (raises the generator's ceiling; latency\n"
    "                    then runs from the first command of the message)\n"
    "  --one             send one message and print the filter's header changes\n"
    "                    and the header block as the MTA would deliver it\n"
    "  --output FILE     with --one: write the whole message as the MTA would\n"
    "                    deliver it (CR LF) to FILE\n"
    "  --idle N          hold N negotiated connections open for --duration\n"
    "                    seconds without messages (memory per connection)\n";

struct Options {
  std::string target;
  std::string null_filter;
  unsigned connections = 1;
  std::uint64_t messages = 100;
  std::uint64_t duration_s = 0;
  double rate = 0;
  std::string message_file;
  std::size_t size = 2048;
  std::string sender = "sender@example.test";
  std::string recipient = "rcpt@example.test";
  std::string expect = "ca";
  MilterClientOptions client;
  bool one = false;
  std::string output_file;
  unsigned idle = 0;
};

template <typename T>
bool parseNumber(std::string_view text, T& out) {
  int base = 10;
  if (text.starts_with("0x") || text.starts_with("0X")) {
    text.remove_prefix(2);
    base = 16;
  }
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out, base);
  return ec == std::errc() && end == text.data() + text.size();
}

bool parseRate(std::string_view text, double& out) {
  char* end = nullptr;
  const std::string s(text);
  out = std::strtod(s.c_str(), &end);
  return end == s.c_str() + s.size() && out > 0;
}

std::optional<Options> parseArguments(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&](std::string_view& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string_view v;
    bool ok = true;
    if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return std::nullopt;
    } else if (arg == "--one") {
      o.one = true;
    } else if (arg == "--pipeline") {
      o.client.pipeline = true;
    } else if (!value(v)) {
      ok = false;
    } else if (arg == "--target") {
      o.target = v;
    } else if (arg == "--null-filter") {
      o.null_filter = v;
    } else if (arg == "--connections") {
      ok = parseNumber(v, o.connections) && o.connections > 0 && o.connections <= 10000;
    } else if (arg == "--messages") {
      ok = parseNumber(v, o.messages) && o.messages > 0;
    } else if (arg == "--duration") {
      ok = parseNumber(v, o.duration_s) && o.duration_s > 0 && o.duration_s <= kMaxDurationS;
    } else if (arg == "--rate") {
      ok = parseRate(v, o.rate);
    } else if (arg == "--message") {
      o.message_file = v;
    } else if (arg == "--output") {
      o.output_file = v;
    } else if (arg == "--size") {
      ok = parseNumber(v, o.size) && o.size <= kMaxMessageBytes;
    } else if (arg == "--sender") {
      o.sender = v;
    } else if (arg == "--recipient") {
      o.recipient = v;
    } else if (arg == "--expect") {
      o.expect = v;
    } else if (arg == "--timeout") {
      ok = parseNumber(v, o.client.timeout_ms) && o.client.timeout_ms > 0;
    } else if (arg == "--actions") {
      ok = parseNumber(v, o.client.actions);
    } else if (arg == "--flags") {
      ok = parseNumber(v, o.client.protocol_flags);
    } else if (arg == "--idle") {
      ok = parseNumber(v, o.idle) && o.idle > 0;
    } else {
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr, "milter_load: bad argument %s\n%s", argv[i], kUsage);
      return std::nullopt;
    }
  }
  if (o.target.empty() == o.null_filter.empty()) {
    std::fputs(kUsage, stderr);
    return std::nullopt;
  }
  return o;
}

std::string replyName(std::uint8_t reply) {
  if (reply >= 0x21 && reply <= 0x7E) return std::string(1, static_cast<char>(reply));
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02x", reply);
  return buf;
}

// What one connection thread saw.
struct Tally {
  std::vector<std::uint64_t> latencies_ns;
  std::map<std::string, std::uint64_t> replies;
  std::uint64_t errors = 0;
  std::vector<std::string> first_errors;

  void error(std::string text) {
    ++errors;
    if (first_errors.size() < kErrorsShown) first_errors.push_back(std::move(text));
  }
};

struct Run {
  const Options& options;
  MilterTarget target;
  MilterMessage message;
  std::uint64_t start_ns = 0;
  std::uint64_t end_ns = 0;  // duration mode: no message starts after it
};

void connectionLoop(const Run& run, unsigned index, Tally& tally) {
  const Options& o = run.options;
  std::unique_ptr<MilterClient> client;
  // Fixed rate: this connection's messages are due every `interval`,
  // offset so the connections interleave.
  const double interval_ns = o.rate > 0 ? 1e9 * o.connections / o.rate : 0;
  const double offset_ns = o.rate > 0 ? 1e9 * index / o.rate : 0;
  for (std::uint64_t sent = 0;; ++sent) {
    if (run.end_ns == 0 ? sent >= o.messages : platform::monotonicNanos() >= run.end_ns) break;
    if (interval_ns > 0) {
      const auto due =
          run.start_ns + static_cast<std::uint64_t>(offset_ns + interval_ns * double(sent));
      const std::uint64_t now = platform::monotonicNanos();
      if (run.end_ns != 0 && due >= run.end_ns) break;
      if (due > now) std::this_thread::sleep_for(std::chrono::nanoseconds(due - now));
    }
    if (!client) {
      auto connected = MilterClient::connect(run.target, o.client);
      if (!connected) {
        tally.error("connect: " + std::string(errorName(connected.error())));
        return;
      }
      client = std::move(*connected);
      if (client->sessionReply() != 'c') {
        tally.error("session answered " + replyName(client->sessionReply()));
        return;
      }
    }
    auto replies = client->sendMessage(run.message);
    if (!replies) {
      tally.error("message: " + std::string(errorName(replies.error())));
      client.reset();
      continue;
    }
    ++tally.replies[replyName(replies->final_reply)];
    if (replies->ended_at != 'E') {
      tally.error("answered " + replyName(replies->final_reply) + " at " +
                  replyName(replies->ended_at));
      continue;
    }
    tally.latencies_ns.push_back(replies->latency_ns);
    if (run.options.expect.find(static_cast<char>(replies->final_reply)) == std::string::npos) {
      tally.error("final reply " + replyName(replies->final_reply));
    }
  }
  if (client) (void)client->quit();
}

double millis(std::uint64_t ns) { return double(ns) / 1e6; }

int report(const Run& run, std::vector<Tally>& tallies) {
  const Options& o = run.options;
  std::vector<std::uint64_t> all;
  std::map<std::string, std::uint64_t> replies;
  std::uint64_t errors = 0;
  std::vector<std::string> shown;
  for (Tally& t : tallies) {
    all.insert(all.end(), t.latencies_ns.begin(), t.latencies_ns.end());
    for (const auto& [code, n] : t.replies) replies[code] += n;
    errors += t.errors;
    for (std::string& e : t.first_errors) {
      if (shown.size() < kErrorsShown) shown.push_back(std::move(e));
    }
  }
  const double seconds = double(run.end_ns - run.start_ns) / 1e9;
  std::printf("target %s, %u connection%s, %zu-byte message%s\n", run.target.describe().c_str(),
              o.connections, o.connections == 1 ? "" : "s", run.message.wire().size(),
              o.rate > 0 ? (", fixed rate " + std::to_string(o.rate) + "/s").c_str() : "");
  std::printf("messages %zu in %.3f s: %.1f messages/s\n", all.size(), seconds,
              seconds > 0 ? double(all.size()) / seconds : 0.0);
  if (!all.empty()) {
    std::ranges::sort(all);
    const auto at = [&](std::size_t permille) {
      return all[std::min(all.size() - 1, all.size() * permille / 1000)];
    };
    std::printf("latency E to final reply: p50 %.3f ms, p99 %.3f ms, max %.3f ms\n",
                millis(at(500)), millis(at(990)), millis(all.back()));
  }
  std::printf("replies:");
  for (const auto& [code, n] : replies)
    std::printf(" %s=%llu", code.c_str(), static_cast<unsigned long long>(n));
  std::printf("\nerrors: %llu\n", static_cast<unsigned long long>(errors));
  for (const std::string& e : shown) std::printf("  %s\n", e.c_str());
  return errors == 0 && !all.empty() ? 0 : 1;
}

int runOne(const Run& run) {
  auto client = MilterClient::connect(run.target, run.options.client);
  if (!client) {
    std::fprintf(stderr, "milter_load: connect to %s: %s\n", run.target.describe().c_str(),
                 std::string(errorName(client.error())).c_str());
    return 1;
  }
  MilterClient& c = **client;
  std::printf("negotiated: version %u, actions 0x%x, protocol flags 0x%x\n", c.negotiatedVersion(),
              c.negotiatedActions(), c.negotiatedProtocolFlags());
  auto replies = c.sendMessage(run.message);
  if (!replies) {
    std::fprintf(stderr, "milter_load: %s\n", std::string(errorName(replies.error())).c_str());
    return 1;
  }
  std::printf("final reply: %s at %s after %.3f ms\n", replyName(replies->final_reply).c_str(),
              replyName(replies->ended_at).c_str(), millis(replies->latency_ns));
  for (const HeaderChange& ch : replies->changes) {
    const char* what = ch.reply == 'h' ? "add" : ch.reply == 'i' ? "insert" : "change";
    std::printf("%s %u: %s:%s\n", what, ch.index, ch.name.c_str(), ch.value.c_str());
  }
  for (std::uint8_t r : replies->other_replies) std::printf("other: %s\n", replyName(r).c_str());
  const std::string delivered =
      applyHeaderChanges(run.message, replies->changes, c.negotiatedProtocolFlags());
  std::printf("delivered header:\n%s", delivered.substr(0, delivered.find("\r\n\r\n") + 2).c_str());
  if (!run.options.output_file.empty() && !writeTextFile(run.options.output_file, delivered)) {
    std::fprintf(stderr, "milter_load: cannot write %s\n", run.options.output_file.c_str());
    return 1;
  }
  const bool expected =
      run.options.expect.find(static_cast<char>(replies->final_reply)) != std::string::npos &&
      replies->ended_at == 'E';
  return expected && c.quit() ? 0 : 1;
}

int runIdle(const Run& run) {
  const Options& o = run.options;
  std::vector<std::unique_ptr<MilterClient>> clients;
  for (unsigned i = 0; i < o.idle; ++i) {
    auto client = MilterClient::connect(run.target, o.client);
    if (!client) {
      std::fprintf(stderr, "milter_load: connection %u: %s\n", i + 1,
                   std::string(errorName(client.error())).c_str());
      return 1;
    }
    clients.push_back(std::move(*client));
  }
  std::printf("%u idle connections open to %s\n", o.idle, run.target.describe().c_str());
  std::fflush(stdout);
  platform::sleepMillis((o.duration_s == 0 ? 10 : o.duration_s) * 1000);
  return 0;
}

int serveNullFilter(const Options& o) {
  auto where = MilterTarget::parse(o.null_filter);
  if (!where) {
    std::fprintf(stderr, "milter_load: bad address %s\n", o.null_filter.c_str());
    return 2;
  }
  auto milter = NullMilter::start(*where);
  if (!milter) {
    std::fprintf(stderr, "milter_load: cannot listen on %s: %s\n", o.null_filter.c_str(),
                 std::string(errorName(milter.error())).c_str());
    return 1;
  }
  std::printf("null filter on %s\n", (*milter)->target().describe().c_str());
  std::fflush(stdout);
  const std::uint64_t end =
      o.duration_s == 0 ? 0 : platform::monotonicMillis() + o.duration_s * 1000;
  while (end == 0 || platform::monotonicMillis() < end) platform::sleepMillis(100);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  auto parsed = parseArguments(argc, argv);
  if (!parsed) return 2;
  const Options& o = *parsed;
  platform::blockProcessSignals();
  if (!o.null_filter.empty()) return serveNullFilter(o);

  Run run{o, {}, {}};
  std::unique_ptr<NullMilter> self;
  if (o.target == "self") {
    auto milter = NullMilter::start(MilterTarget::inet("127.0.0.1", 0));
    if (!milter) {
      std::fprintf(stderr, "milter_load: null filter: %s\n",
                   std::string(errorName(milter.error())).c_str());
      return 1;
    }
    self = std::move(*milter);
    run.target = self->target();
  } else if (auto t = MilterTarget::parse(o.target)) {
    run.target = *t;
  } else {
    std::fprintf(stderr, "milter_load: bad target %s\n", o.target.c_str());
    return 2;
  }
  if (o.message_file.empty()) {
    run.message = generatedMessage(o.size);
    run.message.sender = o.sender;
    run.message.recipients = {o.recipient};
  } else {
    auto text = platform::readWholeFile(o.message_file, kMaxMessageBytes);
    if (!text) {
      std::fprintf(stderr, "milter_load: %s: %s\n", o.message_file.c_str(),
                   std::string(errorName(text.error())).c_str());
      return 2;
    }
    auto message = MilterMessage::parse(*text, o.sender, {o.recipient});
    if (!message) {
      std::fprintf(stderr, "milter_load: %s: %s\n", o.message_file.c_str(),
                   std::string(errorName(message.error())).c_str());
      return 2;
    }
    run.message = std::move(*message);
  }
  if (o.one) return runOne(run);
  if (o.idle > 0) return runIdle(run);

  std::vector<Tally> tallies(o.connections);
  std::vector<platform::Thread> threads;
  run.start_ns = platform::monotonicNanos();
  if (o.duration_s > 0) run.end_ns = run.start_ns + o.duration_s * 1'000'000'000ull;
  for (unsigned i = 0; i < o.connections; ++i) {
    auto thread =
        platform::Thread::start([&run, i, &tallies] { connectionLoop(run, i, tallies[i]); });
    if (!thread) {
      tallies[i].error("thread: " + std::string(errorName(thread.error())));
      continue;
    }
    threads.push_back(std::move(*thread));
  }
  for (platform::Thread& t : threads) t.join();
  // The rate is over the time the messages took, which in duration mode
  // includes the replies still awaited at the end.
  run.end_ns = platform::monotonicNanos();
  return report(run, tallies);
}
