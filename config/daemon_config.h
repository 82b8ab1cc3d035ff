// DaemonConfig: the checked configuration of the daemon.
//
// parseDaemonConfig validates every key of a ConfigFile and fills the record.
// It fails with InvalidConfiguration (an unknown key, a global key in a
// listener section, or a value holding a control byte other than TAB),
// InvalidBodyLengthTag, InvalidMode (Mode or UMask),
// MissingListenerSocket, InvalidListenerSocket or OutOfMemory; the first
// error ends parsing. Before returning some of these it emits its own err
// records naming the section and key; the key-check message also goes
// straight to standard error. Malformed booleans, integers and sizes give the
// key's default silently.
//
// The record owns its texts and does not refer back to the ConfigFile. The
// three logging keys are not part of it (see logSettingsFromConfig).
// Call from one thread at a time; the logger must be usable.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/config_file.h"
#include "config/listener_spec.h"
#include "log/log.h"
#include "platform/error.h"

namespace quellsig {

// The defaults are those of kConfigKeys (config/config_keys.h); a
// value-initialised record holds zeros, not defaults.
struct DaemonConfig {
  std::string authserv_id;
  std::uint32_t worker_threads = 0;  // 0: one per CPU
  std::uint32_t max_connections = 0;
  std::string pid_file;
  bool foreground = false;
  std::optional<std::string> user;  // "user" or "user:group"
  std::optional<std::uint16_t> umask;

  ListenerMode default_mode = ListenerMode::Verify;  // [global] Mode
  bool refuse_body_length = false;                   // BodyLengthTag = refuse

  std::vector<std::string> nameservers;
  std::uint32_t dns_timeout_ms = 0;
  std::uint8_t dns_retries = 0;
  std::uint32_t dns_cache_size = 0;
  std::uint32_t dns_negative_ttl = 0;

  std::string signed_headers;
  std::string oversign_headers;
  std::uint8_t max_key_records = 0;
  std::int64_t max_evaluation_ms = 0;
  bool strip_auth_results = false;
  bool multi_sign = false;
  std::uint64_t max_body_bytes = 0;
  std::uint64_t max_headers = 0;
  std::uint64_t max_header_bytes = 0;
  std::uint64_t max_signatures = 0;
  std::uint32_t minimum_key_bits = 0;
  bool minimum_key_bits_raised = false;  // configured below the floor
  std::optional<std::string> zmq_endpoint;
  std::string zmq_topic;

  // At least one after parsing; modes run parallel to listeners.
  std::vector<ListenerSpec> listeners;
  std::vector<ListenerMode> listener_modes;

  // Signing keys of the listener sections: the last section naming each wins.
  std::optional<std::string> signing_table;
  std::optional<std::string> key_table;
  std::optional<std::string> domain;
  std::optional<std::string> selector;
  std::optional<std::string> key_file;

  bool operator==(const DaemonConfig&) const = default;
};

Result<DaemonConfig> parseDaemonConfig(const ConfigFile& file);

// The record of an empty configuration file; throws only std::bad_alloc.
DaemonConfig defaultDaemonConfig();

// Syslog, SyslogFacility and LogLevel of [global], over the logger's initial
// settings; the identity becomes "quellsig".
LogSettings logSettingsFromConfig(const ConfigFile& file);

}  // namespace quellsig
