#include "milter/auth_results.h"

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>

#include "config/ascii_fold.h"

namespace quellsig {
namespace {

// Columns of a header line: the name, colon and space take the first 24.
constexpr std::size_t kLineColumns = 78;
constexpr std::size_t kNameColumns = kAuthResultsName.size() + 2;
constexpr std::string_view kFold = "\r\n\t";
constexpr std::string_view kForgedMethod = "dkim";

// Places tokens on lines of at most kLineColumns, folding before a token that
// would overflow a line that already holds something. After a fold the TAB
// is column 1.
class LineLayout {
 public:
  LineLayout(std::string& out, std::size_t column) : out_(out), column_(column) {}

  void place(std::string_view token, bool spaced) {
    std::size_t separator = spaced ? 1 : 0;
    if (column_ > 1 && column_ + separator + token.size() > kLineColumns) {
      breakLine();
      separator = 0;
    }
    if (separator != 0) out_ += ' ';
    out_ += token;
    column_ += separator + token.size();
  }

  void append(std::string_view text) {
    out_ += text;
    column_ += text.size();
  }

  void breakLine() {
    out_ += kFold;
    column_ = 1;
  }

 private:
  std::string& out_;
  std::size_t column_;
};

bool isBareValueByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '@' || c == '_';
}

void appendPropertyValue(std::string& out, std::string_view value) {
  bool bare = !value.empty();
  for (char c : value) bare = bare && isBareValueByte(c);
  if (bare) {
    out += value;
    return;
  }
  out += '"';
  for (char c : value) {
    const auto byte = static_cast<std::uint8_t>(c);
    if (byte < 0x20 || byte == 0x7f) {
      out += '?';
      continue;
    }
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
}

std::string property(std::string_view name, std::string_view value) {
  std::string token(name);
  token += '=';
  appendPropertyValue(token, value);
  return token;
}

// The lexical pieces of a field value (RFC 5322 CFWS, RFC 2045 token and
// quoted-string). The whitespace set includes CR and LF because the MTA
// hands folded values over with their line breaks, and VT and FF because
// readers skip them too. An unterminated comment or quoted string runs to
// the end of the value.
bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::size_t skipComment(std::string_view s, std::size_t i) {
  int depth = 0;
  while (i < s.size()) {
    const char c = s[i];
    if (c == '\\') {
      i += 2;
      continue;
    }
    if (c == '(') ++depth;
    if (c == ')' && --depth == 0) return i + 1;
    ++i;
  }
  return s.size();
}

std::size_t skipQuoted(std::string_view s, std::size_t i) {
  for (++i; i < s.size(); ++i) {
    if (s[i] == '\\') {
      ++i;
    } else if (s[i] == '"') {
      return i + 1;
    }
  }
  return s.size();
}

std::size_t skipCfws(std::string_view s, std::size_t i) {
  while (i < s.size()) {
    if (isBlank(s[i])) {
      ++i;
    } else if (s[i] == '(') {
      i = skipComment(s, i);
    } else {
      break;
    }
  }
  return i;
}

bool isTokenByte(char c) {
  const auto byte = static_cast<std::uint8_t>(c);
  if (byte <= 0x20 || byte == 0x7f) return false;
  return std::string_view("()<>@,;:\\\"/[]?=").find(c) == std::string_view::npos;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Compares the quoted string at s[i] (a '"') with id, undoing quoted pairs;
// i moves past the closing quote. An unterminated string matches nothing.
bool quotedEquals(std::string_view s, std::size_t& i, std::string_view id) {
  bool equal = true;
  std::size_t matched = 0;
  for (++i; i < s.size(); ++i) {
    char c = s[i];
    if (c == '"') {
      ++i;
      return equal && matched == id.size();
    }
    if (c == '\\') {
      if (++i == s.size()) break;
      c = s[i];
    }
    equal = equal && matched < id.size() && foldAscii(c) == foldAscii(id[matched]);
    ++matched;
  }
  return false;
}

// End of the result entry starting at i: the next ';' outside comments and
// quoted strings, or the end of the value.
std::size_t entryEnd(std::string_view s, std::size_t i) {
  while (i < s.size() && s[i] != ';') {
    if (s[i] == '(') {
      i = skipComment(s, i);
    } else if (s[i] == '"') {
      i = skipQuoted(s, i);
    } else {
      ++i;
    }
  }
  return i;
}

// Offset of the ';' that starts the results (or the end of the value) when
// the value names id as its authserv-id, optionally followed by a version.
std::optional<std::size_t> resultsStart(std::string_view value, std::string_view id) {
  std::size_t i = skipCfws(value, 0);
  if (i == value.size()) return std::nullopt;
  if (value[i] == '"') {
    if (!quotedEquals(value, i, id)) return std::nullopt;
  } else {
    const std::size_t start = i;
    while (i < value.size() && isTokenByte(value[i])) ++i;
    if (i == start || !equalsIgnoringAsciiCase(value.substr(start, i - start), id)) {
      return std::nullopt;
    }
  }
  i = skipCfws(value, i);
  if (i < value.size() && isDigit(value[i])) {
    while (i < value.size() && isDigit(value[i])) ++i;
    i = skipCfws(value, i);
  }
  if (i < value.size() && value[i] != ';') return std::nullopt;
  return i;
}

// The plain reading: after leading blanks the value begins with id, followed
// by the end, a space, a TAB or ';'. It also claims values that go on with
// something other than a version before the ';', which readers may still
// take as ours.
std::optional<std::size_t> plainResultsStart(std::string_view value, std::string_view id) {
  std::size_t i = 0;
  while (i < value.size() && isBlank(value[i])) ++i;
  const std::string_view rest = value.substr(i);
  if (rest.size() < id.size() || !equalsIgnoringAsciiCase(rest.substr(0, id.size()), id)) {
    return std::nullopt;
  }
  i += id.size();
  if (i < value.size() && value[i] != ' ' && value[i] != '\t' && value[i] != ';') {
    return std::nullopt;
  }
  return entryEnd(value, i);
}

std::optional<std::size_t> claimedResultsStart(std::string_view value, std::string_view id) {
  if (auto start = resultsStart(value, id)) return start;
  return plainResultsStart(value, id);
}

// The method of one result entry, "method [/ version] = value" with CFWS
// anywhere between the parts, without its version; nullopt when the entry
// is not of that form or its value is missing.
std::optional<std::string_view> entryMethod(std::string_view entry) {
  std::size_t i = skipCfws(entry, 0);
  const std::size_t start = i;
  while (i < entry.size() && !isBlank(entry[i]) &&
         std::string_view("(\"/=").find(entry[i]) == std::string_view::npos) {
    ++i;
  }
  const std::string_view method = entry.substr(start, i - start);
  if (method.empty()) return std::nullopt;
  i = skipCfws(entry, i);
  if (i < entry.size() && entry[i] == '/') {
    i = skipCfws(entry, i + 1);
    const std::size_t version = i;
    while (i < entry.size() && isDigit(entry[i])) ++i;
    if (i == version) return std::nullopt;
    i = skipCfws(entry, i);
  }
  if (i == entry.size() || entry[i] != '=') return std::nullopt;
  if (skipCfws(entry, i + 1) == entry.size()) return std::nullopt;
  return method;
}

}  // namespace

Result<std::string> authResultsValue(std::string_view authserv_id,
                                                   const VerificationOutcome& outcome) {
  try {
    std::string out;
    LineLayout line(out, kNameColumns);
    line.place(authserv_id, false);
    line.append(";");
    line.breakLine();
    line.place(std::string("dkim=").append(dkimResultText(outcome.result)), false);
    if (!outcome.domain.empty()) line.place(property("header.d", outcome.domain), true);
    if (!outcome.selector.empty()) line.place(property("header.s", outcome.selector), true);
    if (outcome.testing) line.place("policy.dkim-rules=testing-key", true);
    return out;
  } catch (const std::bad_alloc&) {
    return std::unexpected(Error::OutOfMemory);
  }
}

Result<std::string> authResultsValue(std::string_view authserv_id, DkimResult result) {
  VerificationOutcome whole_message;
  whole_message.result = result;
  return authResultsValue(authserv_id, whole_message);
}

bool claimsAuthservId(std::string_view value, std::string_view authserv_id) {
  return claimedResultsStart(value, authserv_id).has_value();
}

bool isForgedAuthResults(std::string_view value, std::string_view authserv_id, bool strip_all) {
  const std::optional<std::size_t> start = claimedResultsStart(value, authserv_id);
  if (!start) return false;
  if (strip_all) return true;
  std::size_t i = *start;
  while (i < value.size()) {
    const std::size_t end = entryEnd(value, i + 1);
    const std::optional<std::string_view> method = entryMethod(value.substr(i + 1, end - i - 1));
    if (method && equalsIgnoringAsciiCase(*method, kForgedMethod)) return true;
    i = end;
  }
  return false;
}

Result<std::vector<ForgedField>> findForgedAuthResults(std::span<const HeaderField> headers,
                                                       std::string_view authserv_id,
                                                       bool strip_all) {
  try {
    std::vector<ForgedField> forged;
    std::uint32_t occurrence = 0;
    for (std::size_t position = 0; position < headers.size(); ++position) {
      const HeaderField& field = headers[position];
      if (!namesEqual(field.name, kAuthResultsName)) continue;
      ++occurrence;
      if (isForgedAuthResults(field.value, authserv_id, strip_all)) {
        forged.push_back({position, occurrence});
      }
    }
    return forged;
  } catch (const std::bad_alloc&) {
    return std::unexpected(Error::OutOfMemory);
  }
}

}  // namespace quellsig
