#include "milter/connection_io.h"

#include <array>
#include <new>
#include <stdexcept>

#include "log/log.h"
#include "platform/byte_cursor.h"
#include "platform/stream_socket.h"

namespace quellsig {
namespace {

std::size_t unwritten(const ReplyQueue& q) { return q.bytes.size() - q.write_offset; }

ConnectionStatus closeConnection(MilterWorker& worker, MilterConnection& c) {
  worker.events.closeConnection(c);
  return ConnectionStatus::Closed;
}

bool appendReceived(ReadBuffer& buffer, std::span<const std::uint8_t> bytes) {
  try {
    buffer.bytes.insert(buffer.bytes.end(), bytes.begin(), bytes.end());
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
}

}  // namespace

ConnectionStatus onReadable(MilterWorker& worker, MilterConnection& c) {
  std::array<std::uint8_t, kReadChunkSize> scratch;
  for (;;) {
    auto got = platform::receiveSome(c.socket.get(), scratch);
    if (got && got->would_block) return ConnectionStatus::Open;
    if (!got || got->bytes == 0) return closeConnection(worker, c);
    if (!appendReceived(c.read_buffer, std::span(scratch).first(got->bytes))) {
      return closeConnection(worker, c);
    }
    if (dispatchBuffered(worker, c) == ConnectionStatus::Closed) return ConnectionStatus::Closed;
  }
}

ConnectionStatus dispatchBuffered(MilterWorker& worker, MilterConnection& c) {
  for (;;) {
    auto packet = decodePacket(c.read_buffer);
    if (!packet) return closeConnection(worker, c);
    if (!*packet) return ConnectionStatus::Open;
    if (dispatch(worker, c, **packet) == ConnectionStatus::Closed) return ConnectionStatus::Closed;
    consumePacket(c.read_buffer);
  }
}

ConnectionStatus onWritable(MilterWorker& worker, MilterConnection& c) {
  c.waiting_for_writable = false;
  return flush(worker, c);
}

Result<void> queuePacket(MilterConnection& c, std::span<const std::uint8_t> packet) {
  ByteCursor cursor(packet);
  std::uint32_t length = 0;
  if (!cursor.readU32(length) || length != cursor.remaining()) return fail(Error::InvalidArgument);
  if (length > kMaxPacketLength) return fail(Error::PacketTooLarge);
  ReplyQueue& q = c.reply_queue;
  if (unwritten(q) + packet.size() > kMaxPendingReplyBytes) return fail(Error::OutputQueueFull);
  if (q.write_offset != 0) {
    q.bytes.erase(q.bytes.begin(), q.bytes.begin() + static_cast<std::ptrdiff_t>(q.write_offset));
    q.write_offset = 0;
  }
  ByteWriter w(q.bytes);
  w.writeBytes(packet);
  return w.status();
}

ConnectionStatus sendReply(MilterWorker& worker, MilterConnection& c,
                           std::span<const std::uint8_t> packet) {
  if (auto queued = queuePacket(c, packet); !queued) {
    return dropConnection(worker, c, queued.error());
  }
  return flush(worker, c);
}

ConnectionStatus flush(MilterWorker& worker, MilterConnection& c) {
  // The socket was full at the last try and its write-readiness event is
  // still to come: a write now would only report would-block again.
  if (c.waiting_for_writable) return ConnectionStatus::Open;
  ReplyQueue& q = c.reply_queue;
  while (q.write_offset < q.bytes.size()) {
    auto sent = platform::sendSome(c.socket.get(), ByteCursor(q.bytes, q.write_offset).rest());
    if (!sent) return dropConnection(worker, c, sent.error());
    if (sent->would_block) {
      if (!c.waiting_for_writable) {
        c.waiting_for_writable = true;
        worker.events.addWriteOnce(c.socket.get());
        emit(Severity::Info, "holding ", unwritten(q), " bytes of replies for ", connectionName(c),
             "[", connectionPeer(c), "]: peer is not reading, will resume when it does");
      }
      return ConnectionStatus::Open;
    }
    if (sent->bytes == 0) return dropConnection(worker, c, Error::BrokenPipe);
    q.write_offset += sent->bytes;
  }
  q.bytes.clear();
  q.write_offset = 0;
  if (q.bytes.capacity() > kReplyQueueKeptCapacity) std::vector<std::uint8_t>().swap(q.bytes);
  return ConnectionStatus::Open;
}

ConnectionStatus dropConnection(MilterWorker& worker, MilterConnection& c, Error error) {
  if (error == Error::OutputQueueFull) {
    emit(Severity::Warning, "dropping connection from ", connectionName(c), "[", connectionPeer(c),
         "]: ", unwritten(c.reply_queue), " bytes of replies unread, output queue full");
  } else {
    emit(Severity::Debug, "dropping connection from ", connectionName(c), "[", connectionPeer(c),
         "]: reply write failed: ", ErrorText{error});
  }
  return closeConnection(worker, c);
}

}  // namespace quellsig
