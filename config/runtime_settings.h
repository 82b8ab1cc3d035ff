// RuntimeSettings: the values of the DaemonConfig that the daemon's threads
// read while it runs.
//
// The main thread stores them once (storeRuntimeSettings) before it creates
// any other thread; afterwards every thread may read them through
// runtimeSettings() without a lock, and nothing writes them again. A reload
// does not replace them. runtimeSettings() before the store returns the
// settings of an empty configuration file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/daemon_config.h"
#include "config/listener_spec.h"
#include "log/log.h"

namespace quellsig {

// The per-message limits a connection copies when it is accepted; 0 means no
// limit.
struct MessageLimits {
  std::uint64_t max_body_bytes = 0;
  std::uint64_t max_headers = 0;
  std::uint64_t max_header_bytes = 0;
  std::uint64_t max_signatures = 0;
};

MessageLimits messageLimitsOf(const DaemonConfig& config);

// Made only by runtimeSettingsFrom, so every value is the configuration's.
struct RuntimeSettings {
  std::string authserv_id;
  std::vector<ListenerMode> listener_modes;

  std::vector<std::string> nameservers;
  std::uint32_t dns_timeout_ms = 0;
  std::uint32_t dns_cache_size = 0;    // 0 means the cache's default
  std::uint32_t dns_negative_ttl = 0;  // seconds; 0 means the cache's default
  std::uint16_t dns_port = 53;         // not configurable
  std::uint8_t dns_retries = 0;

  std::uint32_t minimum_key_bits = 0;  // after the floor
  std::uint8_t max_key_records = 0;
  std::int64_t max_evaluation_ms = 0;
  bool refuse_body_length = false;
  bool strip_auth_results = false;
  MessageLimits limits;

  bool multi_sign = false;
  std::string signed_headers;
  std::string oversign_headers;
  std::optional<std::string> domain;
  std::optional<std::string> selector;

  std::optional<std::string> zmq_endpoint;
  std::string zmq_topic;

  LogSettings log;
};

RuntimeSettings runtimeSettingsFrom(const DaemonConfig& config, const LogSettings& log);

// The settings of an empty configuration file.
RuntimeSettings defaultRuntimeSettings();

void storeRuntimeSettings(RuntimeSettings settings);
const RuntimeSettings& runtimeSettings();

}  // namespace quellsig
