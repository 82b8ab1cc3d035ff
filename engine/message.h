// The message model: an ordered list of header fields and the body bytes.
//
// HeaderField and Message borrow: every byte string is a view into a buffer
// owned elsewhere (the tools' normalised file buffer, or the daemon's
// connection record), which must outlive the Message and anything derived
// from it. The raw header list owns its texts.
//
// Failures: only allocation, which surfaces as OutOfMemory from the
// functions returning Result. All functions are pure; any thread may call
// them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"

namespace quellsig {

// The largest message file the tools accept.
inline constexpr std::size_t kMaxMessageFileBytes = 8 * 1024 * 1024;

struct HeaderField {
  std::string_view name;   // bytes before the first colon, as received
  std::string_view value;  // after the colon, minus at most one leading space
  bool leading_space = false;
};

struct Message {
  std::vector<HeaderField> headers;  // topmost first
  std::string_view body;
};

// Name, colon, the removed space (if any), value: the field as it stood,
// without its terminating CR LF.
Result<std::string> rawFieldText(const HeaderField& field);

// The raw field texts of every header field, in message order.
Result<std::vector<std::string>> buildRawHeaderList(const Message& message);

// The bytes before the first colon of a raw field text, with trailing spaces
// and tabs removed; empty when there is no colon. A slice of `raw`.
std::string_view matchingName(std::string_view raw);

// ASCII case-insensitive equality; other bytes must match exactly.
bool namesEqual(std::string_view a, std::string_view b);

// Every CR LF, bare CR and bare LF becomes CR LF.
Result<std::string> normalizeLineEndings(std::string_view text);

// Splits at the first CR LF CR LF and parses the header block; malformed
// lines are skipped. The result's views point into `text`.
Result<Message> parseMessage(std::string_view text);

}  // namespace quellsig
