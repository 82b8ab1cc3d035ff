#include "config/config_file.h"

#include <new>

#include "config/value_grammar.h"
#include "platform/file.h"

namespace quellsig {

std::optional<std::string_view> ConfigFile::Section::value(std::string_view key) const {
  auto it = index.find(std::string(key));
  if (it == index.end()) return std::nullopt;
  return std::string_view(settings[it->second].value);
}

ConfigFile::ConfigFile() { enterSection("global"); }

const ConfigFile::Section* ConfigFile::section(std::string_view name) const {
  auto it = index_.find(std::string(name));
  return it == index_.end() ? nullptr : &sections_[it->second];
}

std::size_t ConfigFile::enterSection(std::string_view name) {
  auto [it, inserted] = index_.try_emplace(std::string(name), sections_.size());
  if (inserted) sections_.push_back(Section{std::string(name), {}, {}});
  return it->second;
}

void ConfigFile::set(std::size_t section, std::string_view key, std::string_view value) {
  Section& s = sections_[section];
  auto [it, inserted] = s.index.try_emplace(std::string(key), s.settings.size());
  if (inserted) {
    s.settings.push_back(Setting{std::string(key), std::string(value)});
  } else {
    s.settings[it->second].value.assign(value);
  }
}

Result<ConfigFile> parseConfigText(std::string_view text) {
  try {
    ConfigFile file;
    std::size_t current = 0;  // "global"
    text = withoutByteOrderMark(text);
    while (!text.empty()) {
      auto lf = text.find('\n');
      std::string_view line = trimLine(text.substr(0, lf));
      text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);

      if (line.empty() || line.front() == '#' || line.front() == ';') continue;
      if (line.front() == '[') {
        auto close = line.find(']');
        if (close == std::string_view::npos) continue;
        std::string_view name = trimLine(line.substr(1, close - 1));
        if (name.empty()) continue;
        current = file.enterSection(name);
        continue;
      }
      auto eq = line.find('=');
      if (eq == std::string_view::npos) continue;
      std::string_view key = trimLine(line.substr(0, eq));
      if (key.empty()) continue;
      file.set(current, key, trimLine(line.substr(eq + 1)));
    }
    return file;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<ConfigFile> readConfigFile(std::string_view path) {
  if (path.size() > ConfigFile::kMaxPathBytes) return fail(Error::NameTooLong);
  auto text = platform::readRegularFile(path, ConfigFile::kMaxBytes);
  if (!text) return fail(text.error());
  return parseConfigText(*text);
}

}  // namespace quellsig
