#include "config/runtime_settings.h"

#include <utility>

namespace quellsig {
namespace {

RuntimeSettings& stored() {
  static RuntimeSettings settings = defaultRuntimeSettings();
  return settings;
}

}  // namespace

MessageLimits messageLimitsOf(const DaemonConfig& c) {
  return {c.max_body_bytes, c.max_headers, c.max_header_bytes, c.max_signatures};
}

RuntimeSettings runtimeSettingsFrom(const DaemonConfig& c, const LogSettings& log) {
  RuntimeSettings s;
  s.authserv_id = c.authserv_id;
  s.listener_modes = c.listener_modes;
  s.nameservers = c.nameservers;
  s.dns_timeout_ms = c.dns_timeout_ms;
  s.dns_cache_size = c.dns_cache_size;
  s.dns_negative_ttl = c.dns_negative_ttl;
  s.dns_retries = c.dns_retries;
  s.minimum_key_bits = c.minimum_key_bits;
  s.max_key_records = c.max_key_records;
  s.max_evaluation_ms = c.max_evaluation_ms;
  s.refuse_body_length = c.refuse_body_length;
  s.strip_auth_results = c.strip_auth_results;
  s.limits = messageLimitsOf(c);
  s.multi_sign = c.multi_sign;
  s.signed_headers = c.signed_headers;
  s.oversign_headers = c.oversign_headers;
  s.domain = c.domain;
  s.selector = c.selector;
  s.zmq_endpoint = c.zmq_endpoint;
  s.zmq_topic = c.zmq_topic;
  s.log = log;
  return s;
}

RuntimeSettings defaultRuntimeSettings() {
  return runtimeSettingsFrom(defaultDaemonConfig(), LogSettings{});
}

void storeRuntimeSettings(RuntimeSettings settings) { stored() = std::move(settings); }

const RuntimeSettings& runtimeSettings() { return stored(); }

}  // namespace quellsig
