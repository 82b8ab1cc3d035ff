#include "config/daemon_config.h"

#include <algorithm>
#include <array>
#include <limits>
#include <new>
#include <span>

#include "config/value_grammar.h"
#include "platform/log_socket.h"

namespace quellsig {
namespace {

constexpr std::array<std::string_view, 30> kGlobalKeys{
    "Syslog",
    "SyslogFacility",
    "LogLevel",
    "AuthservID",
    "WorkerThreads",
    "MaxConnections",
    "PidFile",
    "Foreground",
    "User",
    "UMask",
    "Mode",
    "BodyLengthTag",
    "DnsNameserver",
    "DnsTimeout",
    "DnsRetries",
    "DnsCacheSize",
    "DnsNegativeTTL",
    "SignedHeaders",
    "OverSignHeaders",
    "MaxKeyRecords",
    "MaxEvaluationMs",
    "StripAuthResults",
    "MultiSign",
    "MaxBodyBytes",
    "MaxHeaders",
    "MaxHeaderBytes",
    "MaxSignatures",
    "MinimumKeyBits",
    "ZmqEndpoint",
    "ZmqTopic",
};
constexpr std::array<std::string_view, 7> kListenerKeys{
    "Socket", "Mode", "SigningTable", "KeyTable", "Domain", "Selector", "KeyFile",
};

constexpr std::string_view kListenerPrefix = "listener:";
// The largest DnsTimeout whose milliseconds fit 32 bits; longer ones clamp.
constexpr std::uint32_t kMaxDnsTimeoutSeconds = std::numeric_limits<std::uint32_t>::max() / 1000;

bool contains(std::span<const std::string_view> keys, std::string_view key) {
  return std::find(keys.begin(), keys.end(), key) != keys.end();
}

bool isListenerSection(std::string_view name) { return name.starts_with(kListenerPrefix); }

// Reports a key that has no place in its section: as an err record and, so
// that it is seen whatever the log settings, directly on standard error.
void rejectKey(std::string_view section, std::string_view key, bool global_in_listener) {
  std::string_view why = global_in_listener
                             ? "\" is a global key with no effect here; move it to [global]. "
                               "Refusing to start"
                             : "\" (typo?); refusing to start";
  std::string_view what = global_in_listener ? "] key \"" : "] unrecognized key \"";
  emit(Severity::Err, "config: [", section, what, key, why);
  std::string line;
  line.append("config: [").append(section).append(what).append(key).append(why).append("\n");
  platform::writeStandardError(line);
}

Result<void> checkKeys(const ConfigFile& file) {
  for (const auto& section : file.sections()) {
    bool listener = isListenerSection(section.name);
    for (const auto& setting : section.settings) {
      const std::string& key = setting.key;
      if (listener) {
        if (contains(kListenerKeys, key)) continue;
        rejectKey(section.name, key, contains(kGlobalKeys, key));
      } else {
        if (contains(kGlobalKeys, key)) continue;
        rejectKey(section.name, key, false);
      }
      return fail(Error::InvalidConfiguration);
    }
  }
  return {};
}

// Reads the keys of one section with the defaults of the grammar.
class Reader {
 public:
  explicit Reader(const ConfigFile::Section& s) : s_(s) {}

  std::optional<std::string_view> raw(std::string_view key) const { return s_.value(key); }

  template <typename T>
  void unsignedInt(std::string_view key, T& field) const {
    if (auto v = raw(key)) {
      if (auto n = parseUnsigned(*v, std::numeric_limits<T>::max())) field = static_cast<T>(*n);
    }
  }
  void boolean(std::string_view key, bool& field) const {
    if (auto v = raw(key)) {
      if (auto b = parseBoolean(*v)) field = *b;
    }
  }
  void size(std::string_view key, std::uint64_t& field) const {
    if (auto v = raw(key)) {
      if (auto n = parseSize(*v)) field = *n;
    }
  }
  void text(std::string_view key, std::string& field) const {
    if (auto v = raw(key)) field.assign(*v);
  }
  void text(std::string_view key, std::optional<std::string>& field) const {
    if (auto v = raw(key)) field.emplace(*v);
  }
  Result<void> mode(ListenerMode& field) const {
    if (auto v = raw("Mode")) {
      auto m = listenerModeFromName(*v);
      if (!m) return fail(Error::InvalidMode);
      field = *m;
    }
    return {};
  }

 private:
  const ConfigFile::Section& s_;
};

Result<void> readListener(const ConfigFile::Section& section, DaemonConfig& out) {
  Reader r(section);
  auto socket = r.raw("Socket");
  if (!socket) {
    emit(Severity::Err, "config: [", section.name,
         "] has no Socket setting -- a listener section must name an address");
    return fail(Error::MissingListenerSocket);
  }
  auto spec = parseListenAddress(*socket);
  if (!spec) {
    emit(Severity::Err, "config: [", section.name, "] Socket=", *socket,
         " is not a valid listen address (", ErrorText{spec.error()},
         ") -- expected inet:port@ip or unix:/path");
    return fail(Error::InvalidListenerSocket);
  }
  ListenerMode mode = out.default_mode;
  if (auto m = r.mode(mode); !m) return fail(m.error());
  out.listeners.push_back(std::move(*spec));
  out.listener_modes.push_back(mode);
  r.text("SigningTable", out.signing_table);
  r.text("KeyTable", out.key_table);
  r.text("Domain", out.domain);
  r.text("Selector", out.selector);
  r.text("KeyFile", out.key_file);
  return {};
}

Result<DaemonConfig> parseChecked(const ConfigFile& file) {
  DaemonConfig c;
  Reader g(file.global());

  if (auto v = g.raw("BodyLengthTag")) {
    if (*v == "refuse") {
      c.refuse_body_length = true;
    } else if (*v != "honor" && *v != "honour") {
      return fail(Error::InvalidBodyLengthTag);
    }
  }

  g.text("AuthservID", c.authserv_id);
  g.unsignedInt("WorkerThreads", c.worker_threads);
  g.unsignedInt("MaxConnections", c.max_connections);
  g.text("PidFile", c.pid_file);
  g.boolean("Foreground", c.foreground);
  g.text("User", c.user);
  if (auto v = g.raw("UMask")) {
    auto mask = parseUnsigned(trimBlanks(*v), 0xffff, 8);
    if (!mask) return fail(Error::InvalidMode);
    c.umask = static_cast<std::uint16_t>(*mask);
  }

  if (auto m = g.mode(c.default_mode); !m) return fail(m.error());

  for (const auto& section : file.sections()) {
    if (!isListenerSection(section.name)) continue;
    if (auto l = readListener(section, c); !l) return fail(l.error());
  }
  if (c.listeners.empty()) {
    c.listeners.push_back(ListenerSpec{"127.0.0.1", 8891, false});
    c.listener_modes.push_back(c.default_mode);
  }

  if (auto v = g.raw("DnsNameserver")) {
    c.nameservers.clear();
    for (auto piece : splitList(*v)) c.nameservers.emplace_back(piece);
  }
  std::uint32_t timeout_s = 5;
  g.unsignedInt("DnsTimeout", timeout_s);
  // 0 would mean "no timeout" to the socket layer: a lookup could hang a
  // worker forever, so it means the default as it does for the cache keys.
  if (timeout_s == 0) timeout_s = 5;
  c.dns_timeout_ms = timeout_s > kMaxDnsTimeoutSeconds ? std::numeric_limits<std::uint32_t>::max()
                                                       : timeout_s * 1000;
  g.unsignedInt("DnsRetries", c.dns_retries);
  g.unsignedInt("DnsCacheSize", c.dns_cache_size);
  g.unsignedInt("DnsNegativeTTL", c.dns_negative_ttl);
  g.text("SignedHeaders", c.signed_headers);
  g.text("OverSignHeaders", c.over_sign_headers);
  g.unsignedInt("MaxKeyRecords", c.max_key_records);
  if (auto v = g.raw("MaxEvaluationMs")) {
    if (auto n = parseSigned(*v)) c.max_evaluation_ms = *n;
  }
  g.boolean("StripAuthResults", c.strip_auth_results);
  g.boolean("MultiSign", c.multi_sign);
  g.size("MaxBodyBytes", c.max_body_bytes);
  g.unsignedInt("MaxHeaders", c.max_headers);
  g.size("MaxHeaderBytes", c.max_header_bytes);
  g.unsignedInt("MaxSignatures", c.max_signatures);
  g.unsignedInt("MinimumKeyBits", c.minimum_key_bits);
  if (c.minimum_key_bits < kRsaMinimumKeyBits) {
    c.minimum_key_bits = kRsaMinimumKeyBits;
    c.minimum_key_bits_raised = true;
  }
  g.text("ZmqEndpoint", c.zmq_endpoint);
  g.text("ZmqTopic", c.zmq_topic);
  return c;
}

}  // namespace

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
  Reader g(file.global());
  s.syslog = true;
  g.boolean("Syslog", s.syslog);
  if (auto v = g.raw("SyslogFacility")) s.facility = facilityFromName(*v);
  if (auto v = g.raw("LogLevel")) s.level = levelFromName(*v);
  s.identity = "quellsig";
  return s;
}

}  // namespace quellsig
