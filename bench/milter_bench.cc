// Milter protocol throughput: decode, dispatch and reply encoding of a
// typical message as Postfix sends it (macros at every stage, 20 header
// fields, a 4 KiB body in two chunks), with no socket in the way: the bytes
// are placed in the read buffer as the MTA's writes would arrive, and the
// replies are taken off the queue unwritten. Prints messages per second on one core and heap
// allocations per message, against the goals of 500,000 messages per second and no allocation per
// packet beyond the stored copies.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "config/runtime_settings.h"
#include "milter/connection.h"
#include "milter/connection_io.h"
#include "milter/packet.h"
#include "platform/byte_cursor.h"
#include "platform/byte_writer.h"
#include "platform/clock.h"
#include "platform/stream_socket.h"
#include "tests/support/milter_client.h"

namespace {

std::atomic<std::uint64_t> g_allocations{0};

}  // namespace

void* operator new(std::size_t n) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace quellsig;

class NullRegistrar : public EventRegistrar {
 public:
  void addWriteOnce(int) override {}
  void closeConnection(MilterConnection&) override {
    std::fprintf(stderr, "milter_bench: the connection was closed\n");
    std::exit(1);
  }
};

void put(std::vector<std::uint8_t>& out, char command, std::string_view payload) {
  quellsig::testing::appendMtaPacket(out, static_cast<std::uint8_t>(command), payload);
}

std::string z(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (auto p : parts) {
    out.append(p);
    out.push_back('\0');
  }
  return out;
}

// One message on an open connection, from MAIL to the abort Postfix sends
// after the end of message.
std::vector<std::uint8_t> typicalMessage() {
  std::vector<std::uint8_t> m;
  put(m, 'D',
      "M" + z({"{mail_addr}", "sender@example.org", "{mail_host}", "example.org", "{mail_mailer}",
               "smtp"}));
  put(m, 'M', z({"<sender@example.org>", "SIZE=5120", "BODY=8BITMIME"}));
  put(m, 'D',
      "R" + z({"{rcpt_addr}", "rcpt@example.test", "{rcpt_host}", "", "{rcpt_mailer}", "virtual"}));
  put(m, 'R', z({"<rcpt@example.test>"}));
  put(m, 'D', "T" + z({"i", "4QxYz12abcD"}));
  put(m, 'T', "");
  const char* names[] = {"Received",
                         "Received",
                         "DKIM-Signature",
                         "From",
                         "To",
                         "Subject",
                         "Date",
                         "Message-ID",
                         "MIME-Version",
                         "Content-Type",
                         "Content-Transfer-Encoding",
                         "X-Mailer",
                         "List-Id",
                         "List-Unsubscribe",
                         "Reply-To",
                         "Cc",
                         "X-Spam-Status",
                         "Authentication-Results",
                         "X-Original-To",
                         "Return-Path"};
  for (const char* name : names) {
    std::string value = " a value of about seventy bytes, folded once\n\tas the MTA hands it over;";
    put(m, 'D', "L" + z({"i", "4QxYz12abcD"}));
    put(m, 'L', z({name, value}));
  }
  put(m, 'D', "N" + z({"i", "4QxYz12abcD"}));
  put(m, 'N', "");
  std::string chunk;
  while (chunk.size() < 2048) chunk += "Lorem ipsum dolor sit amet, consectetur adipiscing.\r\n";
  chunk.resize(2048);
  put(m, 'D', "B" + z({"i", "4QxYz12abcD"}));
  put(m, 'B', chunk);
  put(m, 'B', chunk);
  put(m, 'D', "E" + z({"i", "4QxYz12abcD"}));
  put(m, 'E', "");
  put(m, 'A', "");
  return m;
}

// The MTA waits for the reply to each command before it sends the next, so
// a read holds the packets up to the next one that is answered ('D' and 'A'
// are not).
std::vector<std::vector<std::uint8_t>> asReads(std::span<const std::uint8_t> bytes,
                                               std::size_t& packets) {
  std::vector<std::vector<std::uint8_t>> reads(1);
  ByteCursor c(bytes);
  packets = 0;
  for (;;) {
    const ByteCursor at = c;
    std::uint32_t length;
    std::uint8_t command;
    std::span<const std::uint8_t> whole;
    if (!c.readU32(length) || !c.readU8(command) || !c.skip(length - 1)) break;
    ByteCursor(at).readBytes(4 + std::size_t{length}, whole);
    reads.back().insert(reads.back().end(), whole.begin(), whole.end());
    ++packets;
    if (command != 'D' && command != 'A') reads.emplace_back();
  }
  if (reads.back().empty()) reads.pop_back();
  return reads;
}

}  // namespace

int main() {
  auto pair = platform::streamSocketPair();
  if (!pair) return 1;
  NullRegistrar registrar;
  MilterHooks hooks;
  hooks.end_of_message = [](MilterConnection&) { return kReplyContinue; };
  MilterWorker worker{registrar, hooks};
  RuntimeSettings settings = defaultRuntimeSettings();
  auto created = createConnection(std::move((*pair)[0]), 0, settings, "192.0.2.1");
  if (!created) return 1;
  MilterConnection& c = **created;
  // Replies stay queued: the bench measures the protocol, not the socket.
  c.waiting_for_writable = true;

  std::vector<std::uint8_t> opening;
  put(opening, 'O', std::string("\0\0\0\6\0\0\1\xff\0\x1f\xff\xff", 12));
  put(opening, 'D',
      "C" + z({"j", "mx.example.test", "{daemon_name}", "mx-in", "{daemon_addr}", "127.0.0.1", "v",
               "Postfix 3.7", "_", "client [192.0.2.9]"}));
  put(opening, 'C', z({"[192.0.2.9]"}) + "4" + std::string("\x61\xa9", 2) + z({"192.0.2.9"}));
  put(opening, 'D', "H" + z({"{client_addr}", "192.0.2.9"}));
  put(opening, 'H', z({"client.example.org"}));
  const std::vector<std::uint8_t> message = typicalMessage();
  std::size_t packets = 0;
  const auto reads = asReads(message, packets);

  auto dispatchRead = [&](std::span<const std::uint8_t> bytes) {
    c.read_buffer.bytes.insert(c.read_buffer.bytes.end(), bytes.begin(), bytes.end());
    if (dispatchBuffered(worker, c) != ConnectionStatus::Open) std::exit(1);
  };
  auto runMessage = [&](const std::vector<std::vector<std::uint8_t>>& message_reads) {
    for (const auto& read : message_reads) dispatchRead(read);
    c.reply_queue.bytes.clear();
    c.reply_queue.write_offset = 0;
  };
  runMessage(asReads(opening, packets));
  asReads(message, packets);
  for (int i = 0; i < 1000; ++i) runMessage(reads);  // warm up

  const int rounds = 300000;
  const std::uint64_t allocations_before = g_allocations.load();
  const std::uint64_t wall_start = platform::monotonicNanos();
  const std::uint64_t start = platform::threadCpuNanos();
  for (int i = 0; i < rounds; ++i) runMessage(reads);
  const std::uint64_t elapsed = platform::threadCpuNanos() - start;
  const std::uint64_t wall = platform::monotonicNanos() - wall_start;
  const std::uint64_t allocations = g_allocations.load() - allocations_before;

  const double rate = double(rounds) * 1e9 / double(elapsed);
  std::printf("milter: %zu packets in %zu reads, %zu bytes per message\n", packets, reads.size(),
              message.size());
  // CPU time of this thread: other work on the machine does not count.
  std::printf("messages per second (one core, CPU time): %.0f  goal 500000  ratio %.2f\n", rate,
              rate / 500000.0);
  std::printf("messages per second (wall clock): %.0f\n", double(rounds) * 1e9 / double(wall));
  std::printf("packets per second: %.0f\n", rate * double(packets));
  std::printf("heap allocations per message: %.2f (%.3f per packet)\n",
              double(allocations) / rounds, double(allocations) / rounds / double(packets));
  return 0;
}
