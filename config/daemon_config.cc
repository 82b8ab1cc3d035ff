#include "config/daemon_config.h"

#include <new>

#include "config/config_keys.h"
#include "platform/log_socket.h"

namespace quellsig {
namespace {

constexpr std::string_view kListenerPrefix = "listener:";
// The listener of a file without listener sections.
constexpr std::string_view kDefaultListener = "inet:8891@127.0.0.1";

bool isListenerSection(std::string_view name) { return name.starts_with(kListenerPrefix); }

// Reports a key or value that stops start-up: as an err record and, so that
// it is seen whatever the log settings, directly on standard error.
void refuse(std::string_view section, std::string_view what, std::string_view key,
            std::string_view why) {
  emit(Severity::Err, "config: [", section, what, key, why);
  std::string line;
  line.append("config: [").append(section).append(what).append(key).append(why).append("\n");
  platform::writeStandardError(line);
}

void rejectKey(std::string_view section, std::string_view key, bool global_in_listener) {
  if (global_in_listener) {
    refuse(section, "] key \"", key,
           "\" is a global key with no effect here; move it to [global]. Refusing to start");
  } else {
    refuse(section, "] unrecognized key \"", key, "\" (typo?); refusing to start");
  }
}

// A NUL or another control byte would travel into log records and header
// fields (AuthservID goes into every Authentication-Results field).
bool holdsControlByte(std::string_view value) {
  for (unsigned char c : value) {
    if ((c < 0x20 && c != '\t') || c == 0x7f) return true;
  }
  return false;
}

Result<void> checkKeys(const ConfigFile& file) {
  for (const auto& section : file.sections()) {
    bool listener = isListenerSection(section.name);
    for (const auto& setting : section.settings) {
      const ConfigKey* key = findConfigKey(setting.key);
      if (key == nullptr || !acceptedIn(*key, listener)) {
        rejectKey(section.name, setting.key, listener && key != nullptr);
        return fail(Error::InvalidConfiguration);
      }
      if (holdsControlByte(setting.value)) {
        refuse(section.name, "] key \"", setting.key,
               "\" holds a control byte in its value; refusing to start");
        return fail(Error::InvalidConfiguration);
      }
    }
  }
  return {};
}

bool appliesTo(const ConfigKey& key, KeyStore store, bool listener_section) {
  return key.store_in == store && acceptedIn(key, listener_section);
}

// Stores the values of one section, in table order, over what `to` holds.
Result<void> storeSection(const ConfigFile::Section& section, KeyStore store, bool listener,
                          const KeyTarget& to) {
  for (const ConfigKey& key : kConfigKeys) {
    if (!appliesTo(key, store, listener)) continue;
    if (auto v = section.value(key.name)) {
      if (auto r = key.store(*v, to); !r) return fail(r.error());
    }
  }
  return {};
}

void storeDefaults(KeyStore store, const KeyTarget& to) {
  for (const ConfigKey& key : kConfigKeys) {
    if (key.store_in != store || key.section == KeySection::Listener) continue;
    if (key.default_value.empty()) continue;
    // The defaults are fixed texts that their own grammars accept.
    (void)key.store(key.default_value, to);
  }
}

Result<void> readListener(const ConfigFile::Section& section, DaemonConfig& out) {
  auto socket = section.value("Socket");
  if (!socket) {
    emit(Severity::Err, "config: [", section.name,
         "] has no Socket setting -- a listener section must name an address");
    return fail(Error::MissingListenerSocket);
  }
  ListenerSpec spec;
  ListenerMode mode = out.default_mode;
  const KeyTarget to{&out, nullptr, &spec, &mode};
  if (auto a = findConfigKey("Socket")->store(*socket, to); !a) {
    emit(Severity::Err, "config: [", section.name, "] Socket=", *socket,
         " is not a valid listen address (", ErrorText{a.error()},
         ") -- expected inet:port@ip or unix:/path");
    return fail(Error::InvalidListenerSocket);
  }
  if (auto r = storeSection(section, KeyStore::Daemon, true, to); !r) return fail(r.error());
  out.listeners.push_back(std::move(spec));
  out.listener_modes.push_back(mode);
  return {};
}

Result<DaemonConfig> parseChecked(const ConfigFile& file) {
  DaemonConfig c;
  storeDefaults(KeyStore::Daemon, KeyTarget{&c});
  if (auto g = storeSection(file.global(), KeyStore::Daemon, false, KeyTarget{&c}); !g) {
    return fail(g.error());
  }
  for (const auto& section : file.sections()) {
    if (!isListenerSection(section.name)) continue;
    if (auto l = readListener(section, c); !l) return fail(l.error());
  }
  if (c.listeners.empty()) {
    c.listeners.push_back(*parseListenAddress(kDefaultListener));
    c.listener_modes.push_back(c.default_mode);
  }
  return c;
}

}  // namespace

DaemonConfig defaultDaemonConfig() {
  // An empty file has no value that could fail.
  return *parseChecked(ConfigFile());
}

Result<DaemonConfig> parseDaemonConfig(const ConfigFile& file) {
  try {
    if (auto k = checkKeys(file); !k) return fail(k.error());
    return parseChecked(file);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

LogSettings logSettingsFromConfig(const ConfigFile& file) {
  LogSettings s;
  const KeyTarget to{nullptr, &s};
  storeDefaults(KeyStore::Logging, to);
  (void)storeSection(file.global(), KeyStore::Logging, false, to);
  s.identity = "quellsig";
  return s;
}

}  // namespace quellsig
