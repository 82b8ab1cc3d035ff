// MilterClient: the MTA side of the milter protocol (version 6), speaking to
// a filter the way Postfix does, for the end-to-end tests and the load
// generator.
//
// connect() opens the socket (TCP to a loopback address or a UNIX-domain
// path), negotiates ('O' offering version 6, actions 0x1FF and protocol
// flags 0x1FFFFF unless the options say otherwise) and sends the connection
// data and HELO with Postfix's default macros: D/C + C, D/H + H. Each
// sendMessage() then streams one message: D/M + M, D/R + R per recipient,
// D/T + T, D/L + L per header field, D/N + N, B per body chunk (at most
// 65,535 bytes, CR LF kept), D/E + E, collects the filter's header changes
// and final reply, and sends A to reset the filter for the next message.
// quit() (and the destructor) sends A and Q.
//
// Header values go out as Postfix sends them: the text after the colon with
// each CR LF turned into a bare LF, and, unless the filter negotiated
// SMFIP_HDR_LEADSPC, without its leading white space.
//
// Replies: every command but 'D' and 'A' must be answered 'c' before the
// next is sent (unless options.pipeline), and the answer to 'E' may be preceded by header changes
// and progress packets. Anything else ends the message early, as an MTA does:
// MessageReplies::final_reply is then that reply and ended_at the command it
// answered. A filter that closes the socket, sends a malformed packet or
// stays silent past the timeout makes sendMessage fail (EndOfStream,
// PacketTooLarge / MalformedReply, TimedOut) and the client unusable.
//
// One thread at a time per client. The client owns its socket.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "milter/packet.h"
#include "platform/blocking_stream.h"
#include "platform/error.h"

namespace quellsig::testing {

// One MTA packet appended to `out`: its length, the command byte, the payload.
void appendMtaPacket(std::vector<std::uint8_t>& out, std::uint8_t command,
                     std::string_view payload);

// Where the filter listens: "inet:HOST:PORT" (or "HOST:PORT") or
// "unix:/path" (or an absolute path).
struct MilterTarget {
  bool local = false;
  std::string host;  // inet: an IP literal
  std::uint16_t port = 0;
  std::string path;  // unix

  static std::optional<MilterTarget> parse(std::string_view text);
  static MilterTarget inet(std::string host, std::uint16_t port);
  static MilterTarget unixPath(std::string path);
  // "inet:127.0.0.1:8891" or "unix:/path", the form Postfix's smtpd_milters
  // takes.
  std::string describe() const;
};

// Everything Postfix tells a filter about the SMTP session besides the
// message itself.
struct MilterClientOptions {
  std::uint32_t version = 6;
  std::uint32_t actions = 0x1FF;
  std::uint32_t protocol_flags = 0x1FFFFF;
  std::uint32_t timeout_ms = 10000;              // connect, and every reply
  std::string mta_hostname = "mx.example.test";  // j and {daemon_name}
  std::string mta_version = "Postfix 3.7.11";    // v
  std::string daemon_addr = "127.0.0.1";
  std::string client_name = "[127.0.0.1]";  // C host name, as without peer-name lookup
  std::string client_addr = "127.0.0.1";
  std::uint16_t client_port = 40000;
  std::string helo = "client.example.test";
  // Writes all of a message's commands at once and reads the replies after
  // (not what Postfix does, which waits for each reply): the filter then
  // does its work with far fewer system calls on the client's side, so the
  // generator's ceiling rises. An early answer other than continue then
  // ends the connection, since the filter has the rest of the message.
  bool pipeline = false;
};

// One message as the MTA streams it. Header values are the text after the
// colon exactly as in the message (leading space and CR LF folds
// included); the body is in wire form with CR LF line ends.
struct MilterMessage {
  std::string sender;                   // bare address, no angle brackets
  std::vector<std::string> recipients;  // at least one is sent ("" if empty)
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::string queue_id = "4ABCDEF0123";  // the 'i' macro

  // Splits a message file (LF or CR LF line ends) into header fields and
  // body; the body comes out with CR LF line ends. A header block with a
  // line that is neither a field nor a continuation is MalformedHeader.
  static Result<MilterMessage> parse(std::string_view text, std::string sender,
                                     std::vector<std::string> recipients);
  // The message in wire form: fields, empty line, body.
  std::string wire() const;
};

// A plain message of about `size` bytes from sender@example.test, with a
// folded Subject, for benchmarks and smoke tests.
MilterMessage generatedMessage(std::size_t size);

struct HeaderChange {
  std::uint8_t reply = 0;   // 'h' add, 'i' insert, 'm' change (empty value: delete)
  std::uint32_t index = 0;  // 'i': position from 0; 'm': occurrence from 1
  std::string name;
  std::string value;  // as the filter sent it (LF line ends)
};

struct MessageReplies {
  std::vector<HeaderChange> changes;
  std::uint8_t final_reply = 0;             // 'c', 'a', 't', 'r', 'd', 'y', ...
  std::uint8_t ended_at = 'E';              // the command final_reply answered
  std::string reply_text;                   // the text of a 'y' reply
  std::vector<std::uint8_t> other_replies;  // modification replies not decoded above
  // From writing 'E' to reading the final reply; when pipelined, from
  // writing the whole message.
  std::uint64_t latency_ns = 0;
};

class MilterClient {
 public:
  static Result<std::unique_ptr<MilterClient>> connect(const MilterTarget& target,
                                                       const MilterClientOptions& options);
  ~MilterClient();
  MilterClient(const MilterClient&) = delete;
  MilterClient& operator=(const MilterClient&) = delete;

  // What the filter accepted of the offer (its 'O' answer).
  std::uint32_t negotiatedVersion() const { return version_; }
  std::uint32_t negotiatedActions() const { return actions_; }
  std::uint32_t negotiatedProtocolFlags() const { return protocol_flags_; }
  // The reply to C or H when it was not 'c' (the session then carries no
  // messages in an MTA); 'c' otherwise.
  std::uint8_t sessionReply() const { return session_reply_; }

  Result<MessageReplies> sendMessage(const MilterMessage& message);
  // A, then Q; the socket is then closed.
  Result<void> quit();

 private:
  MilterClient(platform::BlockingStream stream, MilterClientOptions options)
      : stream_(std::move(stream)), options_(std::move(options)) {}
  Result<void> negotiate();
  Result<void> openSession();
  // Writes the queued commands in one write.
  Result<void> flush();
  Result<MilterPacket> readPacket();
  // Queues D (code, macros) and the command; returns the reply to the command.
  Result<std::uint8_t> command(std::uint8_t code,
                               const std::vector<std::pair<std::string, std::string>>& macros,
                               std::string_view payload);
  void queue(std::uint8_t code, std::string_view payload);
  void queueMacros(std::uint8_t code,
                   const std::vector<std::pair<std::string, std::string>>& macros);

  platform::BlockingStream stream_;
  MilterClientOptions options_;
  std::vector<std::uint8_t> out_;
  ReadBuffer in_;
  bool consume_pending_ = false;
  bool broken_ = false;
  std::uint32_t version_ = 0;
  std::uint32_t actions_ = 0;
  std::uint32_t protocol_flags_ = 0;
  std::uint8_t session_reply_ = 'c';
};

// The message as the MTA delivers it after applying the filter's header
// changes in order: 'h' appends, 'i' inserts before the index-th field (0:
// at the top; past the end: appended), 'm' replaces the value of the
// index-th field of that name (counted from 1, case-insensitive) or deletes
// it when the value is empty, and appends a field that does not exist when
// the value is not empty. Without SMFIP_HDR_LEADSPC a value v from the
// filter is written "Name: v", with it "Name:v". LF in values becomes CR LF.
// Positions count the fields as the MTA holds them, which can differ from
// what the filter was shown: Postfix counts its own Received field, which it
// does not send. Pass the message as the MTA holds it.
std::string applyHeaderChanges(const MilterMessage& message,
                               const std::vector<HeaderChange>& changes,
                               std::uint32_t protocol_flags);

}  // namespace quellsig::testing
