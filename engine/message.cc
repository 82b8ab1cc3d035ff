#include "engine/message.h"

#include <new>

namespace quellsig {
namespace {

inline char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// Turns the text of one field (its lines joined by their CR LF) into a
// HeaderField, or nothing when it is empty or has no colon.
void closeField(std::string_view text, std::vector<HeaderField>& out) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.remove_suffix(1);
  std::size_t colon = text.find(':');
  if (text.empty() || colon == std::string_view::npos) return;
  HeaderField f;
  f.name = text.substr(0, colon);
  std::string_view rest = text.substr(colon + 1);
  if (!rest.empty() && rest.front() == ' ') {
    f.leading_space = true;
    rest.remove_prefix(1);
  }
  f.value = rest;
  out.push_back(f);
}

}  // namespace

Result<std::string> rawFieldText(const HeaderField& field) {
  try {
    std::string raw;
    raw.reserve(field.name.size() + 2 + field.value.size());
    raw.append(field.name);
    raw.push_back(':');
    if (field.leading_space) raw.push_back(' ');
    raw.append(field.value);
    return raw;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<std::vector<std::string>> buildRawHeaderList(const Message& message) {
  try {
    std::vector<std::string> list;
    list.reserve(message.headers.size());
    for (const HeaderField& f : message.headers) {
      auto raw = rawFieldText(f);
      if (!raw) return fail(raw.error());
      list.push_back(std::move(*raw));
    }
    return list;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

std::string_view matchingName(std::string_view raw) {
  std::size_t colon = raw.find(':');
  if (colon == std::string_view::npos) return {};
  std::string_view name = raw.substr(0, colon);
  while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
  return name;
}

bool namesEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
  }
  return true;
}

Result<std::string> normalizeLineEndings(std::string_view text) {
  try {
    std::string out;
    out.reserve(text.size() + text.size() / 8 + 2);
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
      // Copy the run up to the next CR or LF in one piece.
      const char* q = p;
      while (q < end && *q != '\r' && *q != '\n') ++q;
      out.append(p, q);
      if (q == end) break;
      out.append("\r\n", 2);
      if (*q == '\r' && q + 1 < end && q[1] == '\n') ++q;
      p = q + 1;
    }
    return out;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<Message> parseMessage(std::string_view text) {
  try {
    Message m;
    std::string_view block = text;
    if (std::size_t sep = text.find("\r\n\r\n"); sep != std::string_view::npos) {
      block = text.substr(0, sep);
      m.body = text.substr(sep + 4);
    }
    bool open = false;
    std::size_t field_start = 0;
    std::size_t line_start = 0;
    for (;;) {
      std::size_t eol = block.find("\r\n", line_start);
      bool last = eol == std::string_view::npos;
      std::size_t line_end = last ? block.size() : eol;
      std::string_view line = block.substr(line_start, line_end - line_start);
      bool continuation = !line.empty() && (line.front() == ' ' || line.front() == '\t');
      if (!continuation) {
        if (open) closeField(block.substr(field_start, line_start - field_start), m.headers);
        open = !line.empty();
        field_start = line_start;
      }
      if (last) break;
      line_start = eol + 2;
    }
    if (open) closeField(block.substr(field_start), m.headers);
    return m;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

}  // namespace quellsig
