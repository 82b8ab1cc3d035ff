// Connection I/O: reading a connection's socket into packets, dispatching
// them, and queueing and writing the replies without ever blocking.
//
// MilterWorker is what these functions need of the worker that owns the
// connection: its event registrar and its hooks. Everything runs on that
// worker's thread.
//
// A connection may be closed by any call that returns ConnectionStatus (on
// 'Q', end of file, a read or framing error, a reply that cannot be queued or
// written): Closed means the registrar has destroyed the record, and the
// caller must not touch it again. Closing logs only where a reply was lost:
// "dropping connection from <name>[<peer>]: …" (name and peer unchanged).
//
// Replies are packets with their length (see milter/packet.h). queuePacket
// refuses a packet above kMaxPacketLength (PacketTooLarge) and one that would
// leave more than kMaxPendingReplyBytes unwritten (OutputQueueFull), queueing
// nothing; it writes nothing. sendReply queues and then flushes. A peer that
// does not read keeps the replies queued (logged once per blocked period)
// until write readiness comes back through onWritable; while that event is
// awaited, flush leaves the socket alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "milter/connection.h"
#include "milter/event_registrar.h"
#include "milter/hooks.h"
#include "platform/error.h"

namespace quellsig {

inline constexpr std::size_t kReadChunkSize = 8192;
inline constexpr std::size_t kMaxPendingReplyBytes = 256 * 1024;
// Storage an emptied reply queue keeps; more is released.
inline constexpr std::size_t kReplyQueueKeptCapacity = 8192;

struct MilterWorker {
  EventRegistrar& events;
  MilterHooks hooks;
};

enum class ConnectionStatus { Open, Closed };

// For each read-readiness event: reads to would-block, dispatching every
// complete packet in order before the next read.
ConnectionStatus onReadable(MilterWorker& worker, MilterConnection& connection);
// Dispatches every complete packet at the front of the read buffer, in
// order; onReadable calls it after each read.
ConnectionStatus dispatchBuffered(MilterWorker& worker, MilterConnection& connection);
// For the one-shot write-readiness event.
ConnectionStatus onWritable(MilterWorker& worker, MilterConnection& connection);

// Updates the record, runs the hook and sends the reply of one packet.
ConnectionStatus dispatch(MilterWorker& worker, MilterConnection& connection,
                          const MilterPacket& packet);

Result<void> queuePacket(MilterConnection& connection, std::span<const std::uint8_t> packet);
ConnectionStatus sendReply(MilterWorker& worker, MilterConnection& connection,
                           std::span<const std::uint8_t> packet);
ConnectionStatus flush(MilterWorker& worker, MilterConnection& connection);
// Logs the loss and closes the connection; always Closed.
ConnectionStatus dropConnection(MilterWorker& worker, MilterConnection& connection, Error error);

}  // namespace quellsig
