#include "config/table_file.h"

#include "config/value_grammar.h"

namespace quellsig {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimTableLine(std::string_view s) {
  auto trimmed = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!s.empty() && trimmed(s.front())) s.remove_prefix(1);
  while (!s.empty() && trimmed(s.back())) s.remove_suffix(1);
  return s;
}

// Takes the next field off the front of s; empty when none is left.
std::string_view nextField(std::string_view& s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  std::size_t n = 0;
  while (n < s.size() && !isBlank(s[n])) ++n;
  std::string_view field = s.substr(0, n);
  s.remove_prefix(n);
  return field;
}

}  // namespace

std::vector<TableLine> parseTableLines(std::string_view text) {
  std::vector<TableLine> lines;
  text = withoutByteOrderMark(text);
  while (!text.empty()) {
    const std::size_t lf = text.find('\n');
    std::string_view line = trimTableLine(text.substr(0, lf));
    text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
    if (line.empty() || line.front() == '#') continue;
    const std::string_view first = nextField(line);
    const std::string_view second = nextField(line);
    if (second.empty()) continue;
    lines.push_back({first, second});
  }
  return lines;
}

std::vector<KeyTableLine> parseKeyTable(std::string_view text) {
  std::vector<KeyTableLine> keys;
  for (const TableLine& line : parseTableLines(text)) {
    const std::string_view value = line.second;
    const std::size_t c1 = value.find(':');
    if (c1 == std::string_view::npos) continue;
    const std::size_t c2 = value.find(':', c1 + 1);
    if (c2 == std::string_view::npos || c2 + 1 == value.size()) continue;
    keys.push_back(
        {line.first, value.substr(0, c1), value.substr(c1 + 1, c2 - c1 - 1), value.substr(c2 + 1)});
  }
  return keys;
}

}  // namespace quellsig
