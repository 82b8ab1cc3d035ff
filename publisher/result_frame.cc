#include "publisher/result_frame.h"

#include <cstddef>
#include <cstdint>
#include <new>

namespace quellsig {
namespace {

// Length of the well-formed UTF-8 sequence (RFC 3629) at the start of s, or 0
// when its first byte does not start one: a stray continuation byte, an
// overlong form, a surrogate, a code point above U+10FFFF or a cut sequence.
std::size_t utf8SequenceLength(std::string_view s) {
  auto byte = [&s](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
  const std::uint8_t lead = byte(0);
  std::size_t length = 0;
  std::uint8_t second_min = 0x80;
  std::uint8_t second_max = 0xbf;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) second_min = 0xa0;  // overlong below U+0800
    if (lead == 0xed) second_max = 0x9f;  // surrogates
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) second_min = 0x90;  // overlong below U+10000
    if (lead == 0xf4) second_max = 0x8f;  // above U+10FFFF
  } else {
    return 0;
  }
  if (s.size() < length) return 0;
  if (byte(1) < second_min || byte(1) > second_max) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xbf) return 0;
  }
  return length;
}

void appendEscaped(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<std::uint8_t>(text[i]);
    if (c >= 0x80) {
      const std::size_t length = utf8SequenceLength(text.substr(i));
      if (length == 0) {
        out += "\\ufffd";
        ++i;
      } else {
        out.append(text.substr(i, length));
        i += length;
      }
      continue;
    }
    switch (c) {
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0x0f];
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
}

}  // namespace

Result<std::string> resultFrame(std::string_view topic, const ResultRecord& record) {
  try {
    std::string out;
    out.reserve(topic.size() + 64 + record.domain.size() + record.selector.size());
    out += topic;
    out += " {\"action\":\"";
    out += resultActionText(record.action);
    out += "\",\"result\":\"";
    out += dkimResultText(record.result);
    out += "\",\"domain\":\"";
    appendEscaped(out, record.domain);
    out += "\",\"selector\":\"";
    appendEscaped(out, record.selector);
    out += "\"}";
    return out;
  } catch (const std::bad_alloc&) {
    return std::unexpected(Error::OutOfMemory);
  }
}

}  // namespace quellsig
