#include "tools/testkey/key_tag_scan.h"

namespace quellsig {
namespace {

bool isTrimmed(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && isTrimmed(s.front())) s.remove_prefix(1);
  while (!s.empty() && isTrimmed(s.back())) s.remove_suffix(1);
  return s;
}

bool isSeparator(char c) { return c == ';' || c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

std::optional<std::string_view> scanKeyTag(std::string_view data, std::string_view name) {
  std::size_t pos = 0;
  while (true) {
    while (pos < data.size() && isSeparator(data[pos])) ++pos;
    if (pos >= data.size()) return std::nullopt;
    std::size_t eq = data.find('=', pos);
    if (eq == std::string_view::npos) return std::nullopt;
    std::size_t end = data.find(';', eq + 1);
    std::string_view tag = trim(data.substr(pos, eq - pos));
    std::string_view value = trim(
        data.substr(eq + 1, end == std::string_view::npos ? std::string_view::npos : end - eq - 1));
    if (tag == name) return value;
    if (end == std::string_view::npos) return std::nullopt;
    pos = end + 1;
  }
}

}  // namespace quellsig
