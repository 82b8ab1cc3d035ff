#include "tests/support/guide_blocks.h"

namespace quellsig::testutil {
namespace {

std::string_view trim(std::string_view s) {
  constexpr std::string_view kBlank = " \t\r";
  const auto first = s.find_first_not_of(kBlank);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(kBlank) - first + 1);
}

}  // namespace

std::optional<std::string> guideBlock(std::string_view guide, std::string_view name) {
  const std::string begin = "<!-- " + std::string(name) + " begin -->\n";
  const std::string end = "<!-- " + std::string(name) + " end -->";
  const auto b = guide.find(begin);
  if (b == std::string_view::npos) return std::nullopt;
  const auto e = guide.find(end, b);
  if (e == std::string_view::npos) return std::nullopt;
  std::string_view inside = guide.substr(b + begin.size(), e - b - begin.size());
  // The fence lines: an opening ``` with an optional language word, and a
  // closing ``` on its own line.
  const auto open = inside.find("```");
  if (open == std::string_view::npos) return std::nullopt;
  const auto body = inside.find('\n', open);
  const auto close = inside.rfind("```");
  if (body == std::string_view::npos || close <= body) return std::nullopt;
  return std::string(inside.substr(body + 1, close - body - 1));
}

std::vector<std::pair<std::string, std::string>> mainCfSettings(std::string_view block) {
  std::vector<std::pair<std::string, std::string>> out;
  while (!block.empty()) {
    const auto nl = block.find('\n');
    std::string_view line = trim(block.substr(0, nl));
    block = nl == std::string_view::npos ? std::string_view{} : block.substr(nl + 1);
    if (line.empty() || line.front() == '#') continue;
    const auto eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    out.emplace_back(std::string(trim(line.substr(0, eq))), std::string(trim(line.substr(eq + 1))));
  }
  return out;
}

std::string substituted(std::string text,
                        const std::vector<std::pair<std::string, std::string>>& replacements) {
  for (const auto& [from, to] : replacements) {
    if (from.empty()) continue;
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
      text.replace(at, from.size(), to);
    }
  }
  return text;
}

}  // namespace quellsig::testutil
