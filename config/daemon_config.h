// DaemonConfig: the checked configuration of the daemon.
//
// parseDaemonConfig validates every key of a ConfigFile and fills the record.
// It fails with InvalidConfiguration (an unknown key, or a global key in a
// listener section), InvalidBodyLengthTag, InvalidMode (Mode or UMask),
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
#include "engine/verification.h"
#include "platform/error.h"

namespace quellsig {

struct DaemonConfig {
  std::string authserv_id = "localhost";
  std::uint32_t worker_threads = 0;  // 0: one per CPU
  std::uint32_t max_connections = 256;
  std::string pid_file = "/var/run/quellsig/quellsig.pid";
  bool foreground = false;
  std::optional<std::string> user;  // "user" or "user:group"
  std::optional<std::uint16_t> umask;

  ListenerMode default_mode = ListenerMode::Verify;  // [global] Mode
  bool refuse_body_length = false;                   // BodyLengthTag = refuse

  std::vector<std::string> nameservers{"127.0.0.1"};
  std::uint32_t dns_timeout_ms = 5000;
  std::uint8_t dns_retries = 2;
  std::uint32_t dns_cache_size = 1000;
  std::uint32_t dns_negative_ttl = 60;

  std::string signed_headers = "from:to:subject:date:message-id";
  std::string over_sign_headers = "from";
  std::uint8_t max_key_records = 3;
  std::int64_t max_evaluation_ms = 20000;
  bool strip_auth_results = false;
  bool multi_sign = false;
  std::uint64_t max_body_bytes = 10 * 1024 * 1024;
  std::uint64_t max_headers = 500;
  std::uint64_t max_header_bytes = 1024 * 1024;
  std::uint64_t max_signatures = 20;
  std::uint32_t minimum_key_bits = kRsaMinimumKeyBits;
  bool minimum_key_bits_raised = false;  // configured below 1024
  std::optional<std::string> zmq_endpoint;
  std::string zmq_topic = "dkim";

  // At least one after parsing; modes run parallel to listeners.
  std::vector<ListenerSpec> listeners;
  std::vector<ListenerMode> listener_modes;

  // Signing keys of the listener sections: the last section naming each wins.
  std::optional<std::string> signing_table;
  std::optional<std::string> key_table;
  std::optional<std::string> domain;
  std::optional<std::string> selector;
  std::optional<std::string> key_file;
};

Result<DaemonConfig> parseDaemonConfig(const ConfigFile& file);

// Syslog, SyslogFacility and LogLevel of [global], over the logger's initial
// settings; the identity becomes "quellsig".
LogSettings logSettingsFromConfig(const ConfigFile& file);

}  // namespace quellsig
