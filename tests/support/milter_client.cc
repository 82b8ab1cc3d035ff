#include "tests/support/milter_client.h"

#include <algorithm>
#include <charconv>

#include "platform/byte_cursor.h"
#include "platform/byte_writer.h"
#include "platform/clock.h"
#include "platform/inet_address.h"

namespace quellsig::testing {
namespace {

using Macros = std::vector<std::pair<std::string, std::string>>;

constexpr std::size_t kBodyChunk = 65535;
constexpr std::size_t kReadChunk = 64 * 1024;

std::string_view domainOf(std::string_view address) {
  const std::size_t at = address.rfind('@');
  return at == std::string_view::npos ? std::string_view() : address.substr(at + 1);
}

// Postfix's form of a header value for the filter: CR LF folds become LF,
// and without the leading-space option the white space after the colon goes.
std::string filterValue(std::string_view value, bool leading_space) {
  std::string out;
  out.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\r' && i + 1 < value.size() && value[i + 1] == '\n') continue;
    out.push_back(value[i]);
  }
  if (!leading_space) {
    const std::size_t start = out.find_first_not_of(" \t\n");
    out.erase(0, start == std::string::npos ? out.size() : start);
  }
  return out;
}

// LF line ends (from the filter) in the message's CR LF form.
std::string wireValue(std::string_view value) {
  std::string out;
  out.reserve(value.size() + 8);
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\n' && (i == 0 || value[i - 1] != '\r')) out.push_back('\r');
    out.push_back(value[i]);
  }
  return out;
}

bool sameName(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, [](char x, char y) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return lower(x) == lower(y);
  });
}

// Replies that change the message and precede the final answer to 'E'.
bool isModification(std::uint8_t reply) {
  switch (reply) {
    case 'h':
    case 'i':
    case 'm':
    case '+':
    case '-':
    case '2':
    case 'b':
    case 'e':
    case 'q':
    case 'p':
      return true;
    default:
      return false;
  }
}

Result<HeaderChange> decodeHeaderChange(const MilterPacket& packet) {
  HeaderChange change;
  change.reply = packet.command;
  ByteCursor c(packet.payload);
  if (packet.command != 'h' && !c.readU32(change.index)) return fail(Error::MalformedReply);
  std::string_view name;
  if (!c.readCString(name)) return fail(Error::MalformedReply);
  change.name = std::string(name);
  change.value = std::string(c.readCStringOrRest());
  return change;
}

}  // namespace

std::optional<MilterTarget> MilterTarget::parse(std::string_view text) {
  if (text.starts_with("unix:") || text.starts_with("local:")) {
    text.remove_prefix(text.find(':') + 1);
    if (text.empty()) return std::nullopt;
    return unixPath(std::string(text));
  }
  if (text.starts_with("/")) return unixPath(std::string(text));
  if (text.starts_with("inet:")) text.remove_prefix(5);
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  std::string_view port_text = text.substr(colon + 1);
  std::uint16_t port = 0;
  auto [end, ec] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
  if (ec != std::errc() || end != port_text.data() + port_text.size() || port == 0) {
    return std::nullopt;
  }
  std::string host(text.substr(0, colon));
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  if (!platform::parseIpLiteral(host, port)) return std::nullopt;
  return inet(std::move(host), port);
}

MilterTarget MilterTarget::inet(std::string host, std::uint16_t port) {
  MilterTarget t;
  t.host = std::move(host);
  t.port = port;
  return t;
}

MilterTarget MilterTarget::unixPath(std::string path) {
  MilterTarget t;
  t.local = true;
  t.path = std::move(path);
  return t;
}

std::string MilterTarget::describe() const {
  if (local) return "unix:" + path;
  return "inet:" + host + ":" + std::to_string(port);
}

Result<MilterMessage> MilterMessage::parse(std::string_view text, std::string sender,
                                           std::vector<std::string> recipients) {
  MilterMessage m;
  m.sender = std::move(sender);
  m.recipients = std::move(recipients);
  std::size_t pos = 0;
  bool ended = false;
  while (pos < text.size()) {
    std::size_t eol = text.find('\n', pos);
    const std::size_t next = eol == std::string_view::npos ? text.size() : eol + 1;
    std::string_view line =
        text.substr(pos, (eol == std::string_view::npos ? text.size() : eol) - pos);
    if (line.ends_with('\r')) line.remove_suffix(1);
    pos = next;
    if (line.empty()) {
      ended = true;
      break;
    }
    if (line.front() == ' ' || line.front() == '\t') {
      if (m.headers.empty()) return fail(Error::MalformedHeader);
      m.headers.back().second.append("\r\n").append(line);
      continue;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return fail(Error::MalformedHeader);
    m.headers.emplace_back(std::string(line.substr(0, colon)), std::string(line.substr(colon + 1)));
  }
  if (ended) m.body = wireValue(text.substr(pos));
  return m;
}

std::string MilterMessage::wire() const {
  std::string out;
  for (const auto& [name, value] : headers)
    out.append(name).append(":").append(value).append("\r\n");
  out.append("\r\n").append(body);
  return out;
}

MilterMessage generatedMessage(std::size_t size) {
  MilterMessage m;
  m.sender = "sender@example.test";
  m.recipients = {"rcpt@example.test"};
  m.headers = {
      {"From", " Sender <sender@example.test>"},
      {"To", " Recipient <rcpt@example.test>"},
      {"Subject", " A generated message of the load test,\r\n\twith a folded subject"},
      {"Date", " Fri, 11 Dec 2026 12:00:00 +0000"},
      {"Message-ID", " <load-test@example.test>"},
      {"MIME-Version", " 1.0"},
      {"Content-Type", " text/plain; charset=us-ascii"},
  };
  const std::size_t header_bytes = m.wire().size();
  static constexpr std::string_view kLine =
      "The quick brown fox jumps over the lazy dog, again and again and again.";
  while (header_bytes + m.body.size() + kLine.size() + 2 <= size)
    m.body.append(kLine).append("\r\n");
  return m;
}

Result<std::unique_ptr<MilterClient>> MilterClient::connect(const MilterTarget& target,
                                                            const MilterClientOptions& options) {
  Result<platform::BlockingStream> stream = fail(Error::Unexpected);
  if (target.local) {
    stream = platform::BlockingStream::connectLocal(target.path, options.timeout_ms);
  } else {
    auto address = platform::parseIpLiteral(target.host, target.port);
    if (!address) return fail(address.error());
    stream = platform::BlockingStream::connectInet(*address, options.timeout_ms);
  }
  if (!stream) return fail(stream.error());
  if (auto r = stream->setTimeouts(options.timeout_ms); !r) return fail(r.error());
  // Commands go out as soon as they are written, as from an MTA that
  // flushes per command.
  if (auto r = stream->setNoDelay(); !r) return fail(r.error());
  std::unique_ptr<MilterClient> client(new MilterClient(std::move(*stream), options));
  if (auto r = client->negotiate(); !r) return fail(r.error());
  if (auto r = client->openSession(); !r) return fail(r.error());
  return client;
}

MilterClient::~MilterClient() { (void)quit(); }

void appendMtaPacket(std::vector<std::uint8_t>& out, std::uint8_t command,
                     std::string_view payload) {
  ByteWriter w(out);
  ByteWriter::Prefix prefix;
  w.beginU32Prefix(prefix);
  w.writeU8(command);
  w.writeText(payload);
  w.endPrefix(prefix);
}

void MilterClient::queue(std::uint8_t code, std::string_view payload) {
  appendMtaPacket(out_, code, payload);
}

void MilterClient::queueMacros(std::uint8_t code, const Macros& macros) {
  ByteWriter w(out_);
  ByteWriter::Prefix prefix;
  w.beginU32Prefix(prefix);
  w.writeU8('D');
  w.writeU8(code);
  for (const auto& [name, value] : macros) {
    w.writeText(name);
    w.writeU8(0);
    w.writeText(value);
    w.writeU8(0);
  }
  w.endPrefix(prefix);
}

Result<void> MilterClient::flush() {
  if (broken_) return fail(Error::BrokenPipe);
  auto r = stream_.writeAll(out_);
  out_.clear();
  if (!r) broken_ = true;
  return r;
}

Result<MilterPacket> MilterClient::readPacket() {
  if (consume_pending_) {
    consumePacket(in_);
    consume_pending_ = false;
  }
  for (;;) {
    auto packet = decodePacket(in_);
    if (!packet) {
      broken_ = true;
      return fail(packet.error());
    }
    if (*packet) {
      consume_pending_ = true;
      return **packet;
    }
    const std::size_t have = in_.bytes.size();
    in_.bytes.resize(have + kReadChunk);
    auto n = stream_.readSome(std::span(in_.bytes).subspan(have));
    in_.bytes.resize(have + (n ? *n : 0));
    if (!n || *n == 0) {
      broken_ = true;
      return fail(n ? Error::EndOfStream : n.error());
    }
  }
}

Result<void> MilterClient::negotiate() {
  std::string payload;
  {
    std::vector<std::uint8_t> words;
    ByteWriter w(words);
    w.writeU32(options_.version);
    w.writeU32(options_.actions);
    w.writeU32(options_.protocol_flags);
    payload.assign(words.begin(), words.end());
  }
  queue('O', payload);
  if (auto r = flush(); !r) return r;
  auto reply = readPacket();
  if (!reply) return fail(reply.error());
  ByteCursor c(reply->payload);
  if (reply->command != 'O' || !c.readU32(version_) || !c.readU32(actions_) ||
      !c.readU32(protocol_flags_)) {
    broken_ = true;
    return fail(Error::MalformedReply);
  }
  return {};
}

Result<std::uint8_t> MilterClient::command(std::uint8_t code, const Macros& macros,
                                           std::string_view payload) {
  queueMacros(code, macros);
  queue(code, payload);
  if (auto r = flush(); !r) return fail(r.error());
  auto reply = readPacket();
  if (!reply) return fail(reply.error());
  return reply->command;
}

Result<void> MilterClient::openSession() {
  const MilterClientOptions& o = options_;
  std::string connect(o.client_name);
  connect.push_back('\0');
  connect.push_back('4');
  {
    std::vector<std::uint8_t> port;
    ByteWriter w(port);
    w.writeU16(o.client_port);
    connect.append(port.begin(), port.end());
  }
  connect.append(o.client_addr).push_back('\0');
  auto reply = command('C',
                       {{"j", o.mta_hostname},
                        {"{daemon_name}", o.mta_hostname},
                        {"{daemon_addr}", o.daemon_addr},
                        {"v", o.mta_version},
                        {"_", "unknown [" + o.client_addr + "]"}},
                       connect);
  if (!reply) return fail(reply.error());
  session_reply_ = *reply;
  if (session_reply_ != 'c') return {};
  std::string helo(o.helo);
  helo.push_back('\0');
  reply = command('H', {}, helo);
  if (!reply) return fail(reply.error());
  session_reply_ = *reply;
  return {};
}

Result<MessageReplies> MilterClient::sendMessage(const MilterMessage& message) {
  if (broken_) return fail(Error::BrokenPipe);
  MessageReplies result;
  const Macros queue_id = {{"i", message.queue_id}};
  const bool leading_space = (protocol_flags_ & kProtocolHeaderLeadingSpace) != 0;

  // Each step answered with anything but continue ends the message there.
  std::vector<std::uint8_t> awaited;  // pipelined commands, in order
  auto endsEarly = [&](std::uint8_t code, std::uint8_t reply) {
    if (reply == 'c') return false;
    result.final_reply = reply;
    result.ended_at = code;
    return true;
  };
  auto step = [&](std::uint8_t code, const Macros& macros,
                  std::string_view payload) -> Result<bool> {
    if (options_.pipeline) {
      queueMacros(code, macros);
      queue(code, payload);
      awaited.push_back(code);
      return true;
    }
    auto reply = command(code, macros, payload);
    if (!reply) return fail(reply.error());
    return !endsEarly(code, *reply);
  };
  auto run = [&]() -> Result<bool> {
    std::string mail = "<" + message.sender + ">";
    mail.push_back('\0');
    mail.append("SIZE=" + std::to_string(message.wire().size())).push_back('\0');
    auto r = step('M',
                  {{"{mail_addr}", message.sender},
                   {"{mail_host}", std::string(domainOf(message.sender))},
                   {"{mail_mailer}", "smtp"}},
                  mail);
    if (!r || !*r) return r;
    std::vector<std::string> recipients = message.recipients;
    if (recipients.empty()) recipients.emplace_back();
    for (const std::string& rcpt : recipients) {
      std::string arg = "<" + rcpt + ">";
      arg.push_back('\0');
      r = step('R',
               {{"{rcpt_addr}", rcpt},
                {"{rcpt_host}", std::string(domainOf(rcpt))},
                {"{rcpt_mailer}", "smtp"}},
               arg);
      if (!r || !*r) return r;
    }
    r = step('T', queue_id, {});
    if (!r || !*r) return r;
    for (const auto& [name, value] : message.headers) {
      std::string field = name;
      field.push_back('\0');
      field.append(filterValue(value, leading_space)).push_back('\0');
      r = step('L', {}, field);
      if (!r || !*r) return r;
    }
    r = step('N', queue_id, {});
    if (!r || !*r) return r;
    std::string_view body = message.body;
    while (!body.empty()) {
      const std::size_t n = std::min(body.size(), kBodyChunk);
      r = step('B', {}, body.substr(0, n));
      if (!r || !*r) return r;
      body.remove_prefix(n);
    }
    return true;
  };
  auto reached_end = run();
  if (!reached_end) return fail(reached_end.error());

  if (*reached_end) {
    queueMacros('E', queue_id);
    queue('E', {});
    const std::uint64_t start = platform::monotonicNanos();
    if (auto r = flush(); !r) return fail(r.error());
    for (std::uint8_t code : awaited) {
      auto packet = readPacket();
      if (!packet) return fail(packet.error());
      if (endsEarly(code, packet->command)) {
        // The filter has the rest of the message already: this session
        // cannot go on.
        broken_ = true;
        stream_ = platform::BlockingStream();
        return result;
      }
    }
    for (;;) {
      auto packet = readPacket();
      if (!packet) return fail(packet.error());
      const std::uint8_t reply = packet->command;
      if (reply == 'h' || reply == 'i' || reply == 'm') {
        auto change = decodeHeaderChange(*packet);
        if (!change) {
          broken_ = true;
          return fail(change.error());
        }
        result.changes.push_back(std::move(*change));
      } else if (isModification(reply)) {
        if (reply != 'p') result.other_replies.push_back(reply);
      } else {
        result.latency_ns = platform::monotonicNanos() - start;
        result.final_reply = reply;
        result.ended_at = 'E';
        if (reply == 'y') {
          ByteCursor c(packet->payload);
          result.reply_text = std::string(c.readCStringOrRest());
        }
        break;
      }
    }
  }
  // The MTA resets the filter after every message.
  queue('A', {});
  if (auto r = flush(); !r) return fail(r.error());
  return result;
}

Result<void> MilterClient::quit() {
  if (!stream_.valid() || broken_) {
    stream_ = platform::BlockingStream();
    return {};
  }
  queue('A', {});
  queue('Q', {});
  auto r = flush();
  stream_ = platform::BlockingStream();
  return r;
}

std::string applyHeaderChanges(const MilterMessage& message,
                               const std::vector<HeaderChange>& changes,
                               std::uint32_t protocol_flags) {
  const bool leading_space = (protocol_flags & kProtocolHeaderLeadingSpace) != 0;
  // Name and the text after the colon, in message form.
  std::vector<std::pair<std::string, std::string>> fields = message.headers;
  auto fromFilter = [&](const std::string& value) {
    return (leading_space ? "" : " ") + wireValue(value);
  };
  for (const HeaderChange& change : changes) {
    if (change.reply == 'h') {
      fields.emplace_back(change.name, fromFilter(change.value));
    } else if (change.reply == 'i') {
      const std::size_t at = std::min<std::size_t>(change.index, fields.size());
      fields.insert(fields.begin() + static_cast<std::ptrdiff_t>(at),
                    {change.name, fromFilter(change.value)});
    } else if (change.reply == 'm') {
      std::uint32_t seen = 0;
      auto it = std::ranges::find_if(fields, [&](const auto& f) {
        return sameName(f.first, change.name) && ++seen == change.index;
      });
      if (it == fields.end()) {
        if (!change.value.empty()) fields.emplace_back(change.name, fromFilter(change.value));
      } else if (change.value.empty()) {
        fields.erase(it);
      } else {
        it->second = fromFilter(change.value);
      }
    }
  }
  MilterMessage delivered;
  delivered.headers = std::move(fields);
  delivered.body = message.body;
  return delivered.wire();
}

}  // namespace quellsig::testing
