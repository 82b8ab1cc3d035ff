// The keys of the configuration file, each defined once in kConfigKeys: its
// name, the sections that accept it, its value grammar, its default (as it
// would be written in the file) and the store that puts a value where the
// program reads it. The parser (parseDaemonConfig, logSettingsFromConfig)
// and the unknown-key check read this one table; no other code of the
// daemon spells a key's default.
//
// A store fails only for the strict grammars (ModeName, OctalInteger,
// BodyLengthTag: InvalidMode or InvalidBodyLengthTag; ListenAddress: the
// error of parseListenAddress); a value of any other grammar that does not
// parse leaves the field as it was, which is the default once the defaults
// are stored first. A store may throw std::bad_alloc. The table is constant;
// any thread may read it.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "config/daemon_config.h"
#include "config/listener_spec.h"
#include "log/log.h"
#include "platform/error.h"

namespace quellsig {

// Global: [global] and any section that is not a listener section.
enum class KeySection : std::uint8_t { Global, Listener, GlobalAndListener };

enum class KeyGrammar : std::uint8_t {
  Boolean,
  Integer,        // unsigned, of the field's width
  SignedInteger,  // 64-bit
  Size,           // 64-bit byte count with K, M or G
  OctalInteger,   // 16-bit
  ModeName,
  BodyLengthTag,
  FacilityName,
  LevelName,
  Text,
  NameserverList,
  ListenAddress,
};

// Logging keys go to the LogSettings, every other key to the DaemonConfig
// (listener keys to the listener being read).
enum class KeyStore : std::uint8_t { Logging, Daemon };

// Where one section's values go. listener and listener_mode are set only
// while a listener section is read.
struct KeyTarget {
  DaemonConfig* daemon = nullptr;
  LogSettings* log = nullptr;
  ListenerSpec* listener = nullptr;
  ListenerMode* listener_mode = nullptr;
};

struct ConfigKey {
  std::string_view name;
  KeySection section;
  KeyGrammar grammar;
  std::string_view default_value;  // empty: none (the setting is absent)
  KeyStore store_in;
  Result<void> (*store)(std::string_view value, const KeyTarget& target);
};

// In the order the parser applies them: the strict global keys first, so
// that their errors come before those of the listener sections.
extern const std::span<const ConfigKey> kConfigKeys;

// The row of `name` (compared exactly), or nullptr.
const ConfigKey* findConfigKey(std::string_view name);

// Whether `key` is accepted in a section of that kind.
bool acceptedIn(const ConfigKey& key, bool listener_section);

}  // namespace quellsig
