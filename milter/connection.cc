#include "milter/connection.h"

#include <new>
#include <utility>

#include "log/log.h"
#include "platform/byte_cursor.h"

namespace quellsig {
namespace {

constexpr std::size_t kHeaderFieldsReserved = 32;

// Replaces a stored text; a copy that cannot be made leaves it empty.
void replaceText(std::optional<std::string>& field, std::string_view text) {
  field.reset();
  try {
    field.emplace(text);
  } catch (const std::bad_alloc&) {
    field.reset();
  }
}

// The macro a 'D' name stands for; the braced and the bare spelling are one.
std::optional<std::string>* macroField(MilterConnection& c, std::string_view name) {
  if (name.size() >= 2 && name.front() == '{' && name.back() == '}') {
    name = name.substr(1, name.size() - 2);
  } else if (name == "i") {
    return &c.queue_id;
  }
  if (name == "client_addr") return &c.client_addr;
  if (name == "client_name") return &c.client_name;
  if (name == "mail_addr") return &c.mail_addr;
  if (name == "rcpt_addr") return &c.rcpt_addr;
  if (name == "daemon_name") return &c.daemon_name;
  if (name == "auth_type") return &c.auth_type;
  return nullptr;
}

// The value as it stood in the message: the MTA hands folded values over
// with a bare LF before each continuation line.
std::string restoreLineEnds(std::string_view value) {
  std::string out;
  out.reserve(value.size() + 4);
  std::size_t from = 0;
  for (std::size_t lf = value.find('\n'); lf != std::string_view::npos;
       lf = value.find('\n', from)) {
    out.append(value.substr(from, lf - from));
    if (lf == 0 || value[lf - 1] != '\r') out.push_back('\r');
    out.push_back('\n');
    from = lf + 1;
  }
  out.append(value.substr(from));
  return out;
}

template <typename T>
void releaseStorage(T& container) {
  T().swap(container);
}

}  // namespace

Result<std::unique_ptr<MilterConnection>> createConnection(platform::UniqueFd socket,
                                                           std::uint32_t listener_index,
                                                           const RuntimeSettings& settings,
                                                           std::string_view peer_label) {
  try {
    auto c = std::make_unique<MilterConnection>();
    c->socket = std::move(socket);
    c->listener_index = listener_index;
    c->limits = settings.limits;
    c->peer_label = peer_label.substr(0, kMaxPeerLabelLength);
    return c;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

void destroyConnection(std::unique_ptr<MilterConnection> connection) {
  if (connection) connection->socket.reset();
}

std::string_view connectionName(const MilterConnection& c) {
  return c.daemon_name ? std::string_view(*c.daemon_name) : std::string_view("unknown");
}

std::string_view connectionPeer(const MilterConnection& c) {
  return c.peer_label.empty() ? std::string_view("local") : std::string_view(c.peer_label);
}

void applyNegotiation(MilterConnection& c, std::uint32_t offered_actions,
                      std::uint32_t offered_protocol_flags) {
  c.actions = offered_actions & kActionsWanted;
  c.protocol_flags = offered_protocol_flags & kProtocolFlagsWanted;
}

void applyMacros(MilterConnection& c, std::span<const std::uint8_t> payload) {
  ByteCursor cursor(payload);
  if (!cursor.skip(1)) return;  // the command code: every macro is kept by name
  std::string_view name;
  while (cursor.readCString(name)) {
    const std::string_view value = cursor.readCStringOrRest();
    if (auto* field = macroField(c, name)) replaceText(*field, value);
  }
}

void applyConnect(MilterConnection& c, std::string_view host, std::uint8_t family) {
  replaceText(c.connect_host, host);
  if (!c.connect_host) return;
  c.connect_family =
      (family == '4' || family == '6' || family == 'L') ? static_cast<char>(family) : 'U';
}

void applyHelo(MilterConnection& c, std::string_view helo) { replaceText(c.helo_name, helo); }

void applySender(MilterConnection& c, std::string_view sender) { replaceText(c.sender, sender); }

void appendRecipient(MilterConnection& c, std::string_view recipient) {
  try {
    c.recipients.emplace_back(recipient);
  } catch (const std::bad_alloc&) {
    // The recipient is left out; the command is answered as usual.
  }
}

void accumulateHeader(MilterConnection& c, std::string_view name, std::string_view value) {
  bool leading_space = true;
  if ((c.protocol_flags & kProtocolHeaderLeadingSpace) != 0) {
    leading_space = !value.empty() && value.front() == ' ';
    if (leading_space) value.remove_prefix(1);
  }
  if (c.header_limit_hit) return;

  const MessageLimits& limits = c.limits;
  const std::uint64_t field_bytes = std::uint64_t{name.size()} + value.size();
  if ((limits.max_headers != 0 && c.headers.size() >= limits.max_headers) ||
      (limits.max_header_bytes != 0 && field_bytes + c.header_bytes > limits.max_header_bytes)) {
    c.header_limit_hit = true;
    emit(Severity::Warning, "header limit reached (", c.headers.size(), " headers, ",
         c.header_bytes, " bytes) from ", Printable{connectionName(c)}, "[",
         Printable{connectionPeer(c)}, "]: message will not be authenticated");
    return;
  }
  try {
    // Most header blocks fit in one allocation of this many fields.
    if (c.headers.capacity() == 0) c.headers.reserve(kHeaderFieldsReserved);
    c.headers.push_back({std::string(name), restoreLineEnds(value), leading_space});
    c.header_bytes += field_bytes;
  } catch (const std::bad_alloc&) {
    c.header_limit_hit = true;
    emit(Severity::Err, "header accumulation failed: ", ErrorText{Error::OutOfMemory});
  }
}

std::uint8_t accumulateBody(MilterConnection& c, std::span<const std::uint8_t> chunk) {
  if (c.body_skipped) return kReplyContinue;
  Error error = Error::BodyTooLarge;
  const std::uint64_t max = c.limits.max_body_bytes;
  if (max == 0 || std::uint64_t{c.body.size()} + chunk.size() <= max) {
    try {
      c.body.append(ByteCursor::asText(chunk));
      return kReplyContinue;
    } catch (const std::bad_alloc&) {
      error = Error::OutOfMemory;
    } catch (const std::length_error&) {
      error = Error::OutOfMemory;
    }
  }
  c.body_skipped = true;
  releaseStorage(c.body);
  if (error == Error::BodyTooLarge) {
    emit(Severity::Warning, "body exceeds MaxBodyBytes=", max, " from ",
         Printable{connectionName(c)}, "[", Printable{connectionPeer(c)},
         "]: message will not be verified or signed");
  } else {
    emit(Severity::Err, "body accumulation failed for ", Printable{connectionName(c)}, "[",
         Printable{connectionPeer(c)}, "]: ", ErrorText{error});
  }
  return kReplyContinue;
}

void resetMessage(MilterConnection& c) {
  c.mail_addr.reset();
  c.rcpt_addr.reset();
  c.queue_id.reset();
  releaseStorage(c.headers);
  c.sender.reset();
  releaseStorage(c.recipients);
  releaseStorage(c.body);
  c.header_bytes = 0;
  c.header_limit_hit = false;
  c.body_skipped = false;
}

void resetSession(MilterConnection& c) {
  resetMessage(c);
  c.client_addr.reset();
  c.client_name.reset();
  c.daemon_name.reset();
  c.auth_type.reset();
  c.helo_name.reset();
  c.connect_host.reset();
  c.connect_family = 'U';
  c.actions = 0;
  c.protocol_flags = 0;
}

}  // namespace quellsig
