// MilterConnection: everything one MTA connection has told the filter, with
// its socket and its buffers, and the updates each milter command makes.
//
// Ownership: the worker's connection table owns each record (a unique_ptr
// from createConnection) until destroyConnection; every text in it is a
// private copy. Updates that copy text never fail their caller: a copy that
// cannot be made leaves the field empty (or the recipient out), and the
// command is answered as usual. Header fields and body grow under the limits
// copied at accept time, with the warnings below; a breach marks the message
// (header_limit_hit, body_skipped) until resetMessage.
//
// In log records the connection is "<name>[<peer>]": the {daemon_name} macro
// or "unknown", and the peer label or "local". The records of this file write
// both in printable form. One thread: the worker that accepted the socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "config/runtime_settings.h"
#include "milter/packet.h"
#include "platform/error.h"
#include "platform/fd.h"

namespace quellsig {

inline constexpr std::size_t kMaxPeerLabelLength = 64;

// A header field as stored: folded values have CR LF before each
// continuation line, as on the wire.
struct StoredHeaderField {
  std::string name;
  std::string value;  // without the leading space the MTA may send
  bool leading_space = false;
};

// Encoded packets waiting to be written; bytes before write_offset are gone.
struct ReplyQueue {
  std::vector<std::uint8_t> bytes;
  std::size_t write_offset = 0;
};

struct MilterConnection {
  platform::UniqueFd socket;
  ReadBuffer read_buffer;

  // Macros. client_addr, client_name, daemon_name and auth_type last for the
  // connection; mail_addr, rcpt_addr and queue_id (macro "i") for a message.
  std::optional<std::string> client_addr;
  std::optional<std::string> client_name;
  std::optional<std::string> mail_addr;
  std::optional<std::string> rcpt_addr;
  std::optional<std::string> queue_id;
  std::optional<std::string> daemon_name;
  std::optional<std::string> auth_type;

  std::vector<StoredHeaderField> headers;  // in arrival order
  std::optional<std::string> helo_name;
  std::optional<std::string> sender;  // first argument of 'M', as sent
  std::vector<std::string> recipients;
  std::string body;  // as the MTA sent it

  std::uint32_t listener_index = 0;
  MessageLimits limits;
  std::uint64_t header_bytes = 0;  // name plus value lengths, as received
  std::optional<std::string> connect_host;

  ReplyQueue reply_queue;
  std::uint32_t actions = 0;         // negotiated: offer AND kActionsWanted
  std::uint32_t protocol_flags = 0;  // negotiated: offer AND kProtocolFlagsWanted
  bool body_skipped = false;
  bool header_limit_hit = false;
  std::string peer_label;     // at most kMaxPeerLabelLength bytes
  char connect_family = 'U';  // '4', '6', 'L' or 'U'
  bool waiting_for_writable = false;
};

// Copies the limits from the settings; the label is cut to
// kMaxPeerLabelLength bytes. Fails only with OutOfMemory.
Result<std::unique_ptr<MilterConnection>> createConnection(platform::UniqueFd socket,
                                                           std::uint32_t listener_index,
                                                           const RuntimeSettings& settings,
                                                           std::string_view peer_label);
// Closes the socket, then releases the record and all it holds.
void destroyConnection(std::unique_ptr<MilterConnection> connection);

// "<name>" and "<peer>" of the connection's log records.
std::string_view connectionName(const MilterConnection& c);
std::string_view connectionPeer(const MilterConnection& c);

// Per-command updates, made by dispatch before the command's hook.
void applyNegotiation(MilterConnection& c, std::uint32_t offered_actions,
                      std::uint32_t offered_protocol_flags);
// name NUL value NUL pairs, after the command code the macros belong to.
void applyMacros(MilterConnection& c, std::span<const std::uint8_t> payload);
void applyConnect(MilterConnection& c, std::string_view host, std::uint8_t family);
void applyHelo(MilterConnection& c, std::string_view helo);
void applySender(MilterConnection& c, std::string_view sender);
void appendRecipient(MilterConnection& c, std::string_view recipient);
// Stores one header field under MaxHeaders and MaxHeaderBytes; a value
// folded with bare LFs is stored with CR LF.
void accumulateHeader(MilterConnection& c, std::string_view name, std::string_view value);
// The body hook: appends the chunk under MaxBodyBytes. Always 'c'.
std::uint8_t accumulateBody(MilterConnection& c, std::span<const std::uint8_t> chunk);

// Between messages: drops the message's macros, header fields, envelope and
// body, and clears both limit flags; the rest of the connection stays.
void resetMessage(MilterConnection& c);
// A new SMTP session on the same connection: forgets everything the MTA has
// told it, as a new connection would start, keeping only the socket, the
// peer label, the listener, the limits and the buffers.
void resetSession(MilterConnection& c);

}  // namespace quellsig
