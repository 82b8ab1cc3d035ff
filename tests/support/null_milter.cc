#include "tests/support/null_milter.h"

#include "milter/packet.h"
#include "platform/byte_cursor.h"
#include "platform/byte_writer.h"
#include "platform/clock.h"
#include "platform/inet_address.h"

namespace quellsig::testing {
namespace {

// How often blocked threads look at the stop flag.
constexpr std::uint32_t kPollMs = 100;

void encodeChange(std::vector<std::uint8_t>& out, const HeaderChange& change) {
  ByteWriter w(out);
  ByteWriter::Prefix prefix;
  w.beginU32Prefix(prefix);
  w.writeU8(change.reply);
  if (change.reply != 'h') w.writeU32(change.index);
  w.writeText(change.name);
  w.writeU8(0);
  w.writeText(change.value);
  w.writeU8(0);
  w.endPrefix(prefix);
}

}  // namespace

Result<std::unique_ptr<NullMilter>> NullMilter::start(const MilterTarget& where,
                                                      NullMilterOptions options) {
  MilterTarget target = where;
  Result<platform::StreamListener> listener = fail(Error::Unexpected);
  if (where.local) {
    listener = platform::StreamListener::listenLocal(where.path);
  } else {
    auto address = platform::parseIpLiteral(where.host, where.port);
    if (!address) return fail(address.error());
    listener = platform::StreamListener::listenInet(*address);
    if (listener) {
      auto bound = listener->localAddress();
      if (!bound) return fail(bound.error());
      target.port = platform::portOf(*bound);
    }
  }
  if (!listener) return fail(listener.error());
  std::unique_ptr<NullMilter> milter(
      new NullMilter(std::move(*listener), std::move(target), std::move(options)));
  auto thread = platform::Thread::start([m = milter.get()] { m->acceptLoop(); });
  if (!thread) return fail(thread.error());
  milter->acceptor_ = std::move(*thread);
  return milter;
}

NullMilter::~NullMilter() { stop(); }

std::vector<std::pair<std::string, std::string>> NullMilter::lastHeaders() {
  std::lock_guard lock(mutex_);
  return last_headers_;
}

void NullMilter::stop() {
  stopping_.store(true);
  if (acceptor_.joinable()) acceptor_.join();
  std::vector<platform::Thread> workers;
  {
    std::lock_guard lock(mutex_);
    workers.swap(workers_);
  }
  for (platform::Thread& t : workers) t.join();
}

void NullMilter::acceptLoop() {
  while (!stopping_.load()) {
    auto accepted = listener_.accept(kPollMs);
    if (!accepted) {
      platform::sleepMillis(kPollMs);
      continue;
    }
    if (!*accepted) continue;
    connections_.fetch_add(1);
    auto thread = platform::Thread::start(
        [this, s = std::make_shared<platform::BlockingStream>(std::move(**accepted))]() mutable {
          serve(std::move(*s));
        });
    if (!thread) continue;  // the connection closes with the lambda
    std::lock_guard lock(mutex_);
    workers_.push_back(std::move(*thread));
  }
}

void NullMilter::serve(platform::BlockingStream stream) {
  if (!stream.setTimeouts(kPollMs) || !stream.setNoDelay()) return;
  ReadBuffer in;
  std::vector<std::pair<std::string, std::string>> headers;
  std::vector<std::uint8_t> out;
  std::array<std::uint8_t, 64 * 1024> chunk;
  for (;;) {
    auto packet = decodePacket(in);
    if (!packet) return;
    if (!*packet) {
      // Everything that arrived together is answered in one write.
      if (!out.empty() && !stream.writeAll(out)) return;
      out.clear();
      auto n = stream.readSome(chunk);
      if (!n) {
        if (n.error() == Error::TimedOut && !stopping_.load()) continue;
        return;
      }
      if (*n == 0) return;
      in.bytes.insert(in.bytes.end(), chunk.begin(), chunk.begin() + static_cast<long>(*n));
      continue;
    }
    const MilterPacket p = **packet;
    switch (p.command) {
      case 'O': {
        ByteCursor c(p.payload);
        std::uint32_t version, actions, flags;
        if (!c.readU32(version) || !c.readU32(actions) || !c.readU32(flags)) return;
        const auto reply =
            encodeNegotiation(actions & kActionsWanted, flags & kProtocolFlagsWanted);
        out.insert(out.end(), reply.begin(), reply.end());
        break;
      }
      case 'D':
        break;
      case 'A':
      case 'K':
        headers.clear();
        break;
      case 'L': {
        ByteCursor c(p.payload);
        std::string_view name;
        if (c.readCString(name)) headers.emplace_back(name, c.readCStringOrRest());
        const auto reply = encodeReply(kReplyContinue);
        out.insert(out.end(), reply.begin(), reply.end());
        break;
      }
      case 'Q':
        (void)stream.writeAll(out);
        return;
      case 'E': {
        for (const HeaderChange& change : options_.changes) encodeChange(out, change);
        const auto reply = encodeReply(options_.final_reply);
        out.insert(out.end(), reply.begin(), reply.end());
        messages_.fetch_add(1);
        {
          std::lock_guard lock(mutex_);
          last_headers_ = headers;
        }
        break;
      }
      default: {
        const auto reply = encodeReply(kReplyContinue);
        out.insert(out.end(), reply.begin(), reply.end());
        break;
      }
    }
    consumePacket(in);
  }
}

}  // namespace quellsig::testing
