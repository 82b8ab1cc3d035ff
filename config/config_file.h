// ConfigFile: the daemon's configuration file as sections of key = value.
//
// readConfigFile reads the file whole and splits it; it fails with the error
// of opening or reading the file (FileNotFound, AccessDenied, IsDir,
// NotRegularFile for a FIFO or device, ...), NameTooLong for a path of 1024 bytes or more, FileTooBig above 1 MiB, and
// OutOfMemory. parseConfigText never fails except for OutOfMemory: lines it
// cannot use are skipped, and a leading UTF-8 byte-order mark is ignored.
//
// Sections keep the order of their first appearance, "global" always first;
// keys keep the position of their first appearance and the last value given.
// Names and keys compare exactly. The ConfigFile owns all its texts; the
// lookups return views into it. Not thread-safe to modify; immutable after
// construction.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/error.h"

namespace quellsig {

class ConfigFile {
 public:
  static constexpr std::size_t kMaxBytes = 1024 * 1024;
  static constexpr std::size_t kMaxPathBytes = 1023;

  struct Setting {
    std::string key;
    std::string value;
  };
  struct Section {
    std::string name;
    std::vector<Setting> settings;  // in order of first appearance
    std::unordered_map<std::string, std::size_t> index;

    std::optional<std::string_view> value(std::string_view key) const;
  };

  ConfigFile();

  const std::vector<Section>& sections() const { return sections_; }
  const Section& global() const { return sections_.front(); }
  const Section* section(std::string_view name) const;

  // Building, as the reader does: enterSection creates the section when it
  // is new and returns its position; set stores into the section there.
  std::size_t enterSection(std::string_view name);
  void set(std::size_t section, std::string_view key, std::string_view value);

 private:
  std::vector<Section> sections_;
  std::unordered_map<std::string, std::size_t> index_;
};

Result<ConfigFile> readConfigFile(std::string_view path);
Result<ConfigFile> parseConfigText(std::string_view text);

}  // namespace quellsig
