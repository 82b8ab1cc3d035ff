// The connection's message as the engine reads it, and the insert-header
// packets both the evaluation and the signing step send back.
//
// messageOf views the connection's stored header fields and body: the
// Message borrows them and is valid until the header list or the body
// changes (a removed field, resetMessage). envelopeAddress is the MAIL
// argument without one leading "<" and then one trailing ">", or nullopt
// when no MAIL was received; it borrows the connection. insertHeaderPacket
// encodes an 'i' packet at index 0 for this connection (with the leading
// space when it was negotiated); it fails only with OutOfMemory. All run on
// the worker thread that owns the connection.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/message.h"
#include "milter/connection.h"
#include "platform/error.h"

namespace quellsig {

inline constexpr std::string_view kSignatureFieldName = "DKIM-Signature";

Result<Message> messageOf(const MilterConnection& c);

std::optional<std::string_view> envelopeAddress(const MilterConnection& c);

Result<std::vector<std::uint8_t>> insertHeaderPacket(const MilterConnection& c,
                                                     std::string_view name,
                                                     std::string_view value);

}  // namespace quellsig
