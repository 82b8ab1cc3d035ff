#include <string_view>

#include "log/log.h"
#include "milter/connection_io.h"
#include "platform/byte_cursor.h"

namespace quellsig {
namespace {

template <typename Hook, typename... Args>
std::uint8_t runHook(const Hook& hook, std::uint8_t absent, Args&&... args) {
  return hook ? hook(std::forward<Args>(args)...) : absent;
}

ConnectionStatus reply(MilterWorker& worker, MilterConnection& c, std::uint8_t byte) {
  return sendReply(worker, c, encodeReply(byte));
}

ConnectionStatus negotiate(MilterWorker& worker, MilterConnection& c, ByteCursor payload) {
  std::uint32_t version, actions, protocol_flags;
  // The MTA's version is not looked at: the answer is always version 6.
  if (!payload.readU32(version) || !payload.readU32(actions) || !payload.readU32(protocol_flags)) {
    worker.events.closeConnection(c);
    return ConnectionStatus::Closed;
  }
  applyNegotiation(c, actions, protocol_flags);
  return sendReply(worker, c, encodeNegotiation(c.actions, c.protocol_flags));
}

std::uint8_t connect(MilterWorker& worker, MilterConnection& c, ByteCursor payload) {
  ConnectInfo info;
  if (!payload.readCString(info.host) || payload.remaining() < 3) return kReplyContinue;
  payload.readU8(info.family);
  payload.readU16(info.port);
  info.address = payload.readCStringOrRest();
  applyConnect(c, info.host, info.family);
  return runHook(worker.hooks.connect, kReplyContinue, c, info);
}

std::uint8_t header(MilterWorker& worker, MilterConnection& c, ByteCursor payload) {
  std::string_view name;
  if (!payload.readCString(name)) return kReplyContinue;
  const std::string_view value = payload.readCStringOrRest();
  accumulateHeader(c, name, value);
  return runHook(worker.hooks.header, kReplyContinue, c, name, value);
}

// The reply is sent after the reset: sending may close the connection, and
// nothing may touch the record after that.
ConnectionStatus endOfMessage(MilterWorker& worker, MilterConnection& c) {
  std::uint8_t byte;
  if (c.header_limit_hit) {
    emit(Severity::Warning, "tempfail: header block from ", Printable{connectionName(c)}, "[",
         Printable{connectionPeer(c)}, "] exceeded MaxHeaders=", c.limits.max_headers,
         "/MaxHeaderBytes=", c.limits.max_header_bytes, " and could not be inspected in full");
    byte = kReplyTempfail;
  } else {
    byte = runHook(worker.hooks.end_of_message, kReplyAccept, c);
  }
  resetMessage(c);
  return reply(worker, c, byte);
}

}  // namespace

ConnectionStatus dispatch(MilterWorker& worker, MilterConnection& c, const MilterPacket& packet) {
  ByteCursor payload(packet.payload);
  const MilterHooks& hooks = worker.hooks;
  switch (packet.command) {
    case 'O':
      return negotiate(worker, c, payload);
    case 'D':
      applyMacros(c, packet.payload);
      return ConnectionStatus::Open;
    case 'C':
      return reply(worker, c, connect(worker, c, payload));
    case 'H': {
      std::string_view helo = ByteCursor::asText(packet.payload);
      if (helo.ends_with('\0')) helo.remove_suffix(1);
      applyHelo(c, helo);
      return reply(worker, c, runHook(hooks.helo, kReplyContinue, c, helo));
    }
    case 'M': {
      const std::string_view sender = payload.readCStringOrRest();
      applySender(c, sender);
      return reply(worker, c, runHook(hooks.mail, kReplyContinue, c, sender));
    }
    case 'R': {
      const std::string_view recipient = payload.readCStringOrRest();
      appendRecipient(c, recipient);
      return reply(worker, c, runHook(hooks.rcpt, kReplyContinue, c, recipient));
    }
    case 'L':
      return reply(worker, c, header(worker, c, payload));
    case 'N':
      return reply(worker, c, runHook(hooks.end_of_headers, kReplyContinue, c));
    case 'B':
      return reply(worker, c, runHook(hooks.body, kReplyContinue, c, packet.payload));
    case 'E':
      return endOfMessage(worker, c);
    case 'A':
      if (hooks.abort) hooks.abort(c);
      resetMessage(c);
      return ConnectionStatus::Open;
    case 'K':
      resetSession(c);
      return ConnectionStatus::Open;
    case 'Q':
      worker.events.closeConnection(c);
      return ConnectionStatus::Closed;
    default:
      return reply(worker, c, kReplyContinue);
  }
}

}  // namespace quellsig
