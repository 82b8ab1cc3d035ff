// Hostile MTA traffic: arbitrary bytes, cut into arbitrary reads, go through
// framing and dispatch into one connection record over a real socket pair.
// Every reply the filter writes must be a well-formed packet with one of the
// reply bytes the filter may send, and the record must keep its limits.
//
// Input: a sequence of (n, n + 1 bytes) pieces; each piece is one write by
// the MTA followed by one read-readiness event.
#include <array>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "config/runtime_settings.h"
#include "fuzz/driver.h"
#include "milter/connection.h"
#include "milter/connection_io.h"
#include "milter/packet.h"
#include "platform/byte_cursor.h"
#include "platform/stream_socket.h"

namespace quellsig::fuzz {
namespace {

constexpr std::string_view kTokens[] = {
    std::string_view("\0\0\0\1", 4),
    std::string_view("\0\0\0\x0dO\0\0\0\6\0\0\1\xff\0\x1f\xff\xff", 18),
    std::string_view("\0\0\0\1E", 5),
    std::string_view("\0\0\0\1K", 5),
    std::string_view("\0\0\0\1A", 5),
    std::string_view("\0\x10\0\0", 4),
    "{daemon_name}",
    "{client_addr}",
    "client_addr",
    "{mail_addr}",
    "i",
    "Subject",
    "DKIM-Signature",
    "\n\t",
    "\r\n\t",
    " ",
};

class Registrar : public EventRegistrar {
 public:
  void addWriteOnce(int) override { ++armed; }
  void closeConnection(MilterConnection& c) override {
    FUZZ_CHECK(&c == connection.get());
    destroyConnection(std::move(connection));
  }
  std::unique_ptr<MilterConnection> connection;
  int armed = 0;
};

const RuntimeSettings& settings() {
  static const RuntimeSettings s = [] {
    RuntimeSettings r = defaultRuntimeSettings();
    r.limits.max_headers = 20;
    r.limits.max_header_bytes = 2000;
    r.limits.max_body_bytes = 5000;
    return r;
  }();
  return s;
}

bool isReplyByte(std::uint8_t b) {
  return b == kReplyNegotiate || b == kReplyContinue || b == kReplyAccept || b == kReplyTempfail ||
         b == kReplyInsertHeader || b == kReplyChangeHeader;
}

// Reads what the filter wrote and checks the packets whole so far.
void checkReplies(int fd, ReadBuffer& replies) {
  std::array<std::uint8_t, 4096> buf;
  for (;;) {
    auto n = platform::receiveSome(fd, buf);
    if (!n || n->would_block || n->bytes == 0) break;
    replies.bytes.insert(replies.bytes.end(), buf.begin(), buf.begin() + n->bytes);
  }
  for (;;) {
    auto packet = decodePacket(replies);
    FUZZ_CHECK(packet.has_value());
    if (!*packet) break;
    FUZZ_CHECK(isReplyByte((*packet)->command));
    consumePacket(replies);
  }
}

}  // namespace

std::span<const std::string_view> fuzzDictionary() { return kTokens; }

}  // namespace quellsig::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quellsig;
  auto pair = platform::streamSocketPair();
  if (!pair) return 0;
  fuzz::Registrar registrar;
  auto created = createConnection(std::move((*pair)[0]), 0, fuzz::settings(), "fuzz");
  if (!created) return 0;
  registrar.connection = std::move(*created);
  MilterHooks hooks;
  // Stands in for the evaluation: one header change per message.
  hooks.end_of_message = [](MilterConnection& c) {
    FUZZ_CHECK(!c.header_limit_hit);
    if (c.headers.empty()) return kReplyContinue;
    std::vector<std::uint8_t> change;
    ByteWriter w(change);
    if (!encodeInsertHeader(w, c.headers.front().name, c.headers.front().value,
                            (c.protocol_flags & kProtocolHeaderLeadingSpace) != 0)) {
      return kReplyTempfail;
    }
    return queuePacket(c, change) ? kReplyAccept : kReplyTempfail;
  };
  MilterWorker worker{registrar, hooks};
  const platform::UniqueFd mta = std::move((*pair)[1]);
  ReadBuffer replies;

  ByteCursor input(std::span<const std::uint8_t>(data, size));
  std::uint8_t n;
  while (registrar.connection && input.readU8(n)) {
    std::span<const std::uint8_t> piece;
    if (!input.readBytes(std::min<std::size_t>(n + 1u, input.remaining()), piece)) break;
    auto sent = platform::sendSome(mta.get(), piece);
    if (!sent || sent->would_block) break;
    onReadable(worker, *registrar.connection);
    if (registrar.connection) {
      const MilterConnection& c = *registrar.connection;
      FUZZ_CHECK(c.headers.size() <= 20);
      FUZZ_CHECK(c.header_bytes <= 2000);
      FUZZ_CHECK(c.body.size() <= 5000);
      FUZZ_CHECK(c.reply_queue.bytes.size() - c.reply_queue.write_offset <= kMaxPendingReplyBytes);
      if (c.waiting_for_writable) {
        fuzz::checkReplies(mta.get(), replies);
        onWritable(worker, *registrar.connection);
      }
    }
    fuzz::checkReplies(mta.get(), replies);
  }
  return 0;
}
