// MilterHooks: the per-command hooks a worker hangs on the protocol layer.
//
// dispatch updates the connection record first and then calls the command's
// hook, which returns the reply byte; an empty hook gives the default reply
// ('c' for all but end of message, whose default is 'a'; abort has no reply).
// A default-made table stores body chunks (the body hook is accumulateBody)
// and leaves every other hook empty. Hooks run on the worker's thread with
// the record valid for the whole call.
// Views handed to a hook borrow the packet and die with the call.
//
// The end-of-message hook is the message evaluation. It is called only when
// the header block was taken in full (otherwise the reply is 't' without it).
// It may read everything in the record and may queue header-change packets
// with queuePacket, but must not write to the socket (no flush, no sendReply),
// drop or destroy the connection, or keep pointers into the message: when it
// returns, dispatch resets the message (its header fields, body, envelope and
// message macros are released) and then sends the reply byte returned, which
// goes out behind the header changes queued. A header change that could not
// be queued is the hook's to answer for in its reply.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

#include "milter/connection.h"

namespace quellsig {

// The 'C' payload as split; address is what follows the port.
struct ConnectInfo {
  std::string_view host;
  std::uint8_t family = 'U';
  std::uint16_t port = 0;
  std::string_view address;
};

struct MilterHooks {
  std::function<std::uint8_t(MilterConnection&, const ConnectInfo&)> connect;
  std::function<std::uint8_t(MilterConnection&, std::string_view helo)> helo;
  std::function<std::uint8_t(MilterConnection&, std::string_view sender)> mail;
  std::function<std::uint8_t(MilterConnection&, std::string_view recipient)> rcpt;
  std::function<std::uint8_t(MilterConnection&, std::string_view name, std::string_view value)>
      header;
  std::function<std::uint8_t(MilterConnection&)> end_of_headers;
  std::function<std::uint8_t(MilterConnection&, std::span<const std::uint8_t> chunk)> body =
      accumulateBody;
  std::function<std::uint8_t(MilterConnection&)> end_of_message;
  std::function<void(MilterConnection&)> abort;
};

}  // namespace quellsig
