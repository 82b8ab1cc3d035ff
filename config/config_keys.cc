#include "config/config_keys.h"

#include <algorithm>
#include <array>
#include <limits>
#include <string>
#include <type_traits>

#include "config/value_grammar.h"
#include "engine/signer.h"
#include "engine/verification.h"

namespace quellsig {
namespace {

// The largest DnsTimeout whose milliseconds fit 32 bits; longer ones clamp.
constexpr std::uint32_t kMaxDnsTimeoutSeconds = std::numeric_limits<std::uint32_t>::max() / 1000;

template <auto Field>
using FieldType = std::remove_cvref_t<decltype(std::declval<DaemonConfig&>().*Field)>;

template <auto Field>
Result<void> text(std::string_view v, const KeyTarget& t) {
  t.daemon->*Field = std::string(v);
  return {};
}

template <auto Field>
Result<void> integer(std::string_view v, const KeyTarget& t) {
  using T = FieldType<Field>;
  if (auto n = parseUnsigned(v, std::numeric_limits<T>::max())) t.daemon->*Field = static_cast<T>(*n);
  return {};
}

template <auto Field>
Result<void> boolean(std::string_view v, const KeyTarget& t) {
  if (auto b = parseBoolean(v)) t.daemon->*Field = *b;
  return {};
}

template <auto Field>
Result<void> size(std::string_view v, const KeyTarget& t) {
  if (auto n = parseSize(v)) t.daemon->*Field = *n;
  return {};
}

Result<void> mode(std::string_view v, const KeyTarget& t) {
  auto m = listenerModeFromName(v);
  if (!m) return fail(Error::InvalidMode);
  (t.listener_mode ? *t.listener_mode : t.daemon->default_mode) = *m;
  return {};
}

Result<void> bodyLengthTag(std::string_view v, const KeyTarget& t) {
  if (v == "refuse") {
    t.daemon->refuse_body_length = true;
  } else if (v == "honor" || v == "honour") {
    t.daemon->refuse_body_length = false;
  } else {
    return fail(Error::InvalidBodyLengthTag);
  }
  return {};
}

Result<void> umask(std::string_view v, const KeyTarget& t) {
  auto mask = parseUnsigned(trimBlanks(v), 0xffff, 8);
  if (!mask) return fail(Error::InvalidMode);
  t.daemon->umask = static_cast<std::uint16_t>(*mask);
  return {};
}

Result<void> nameservers(std::string_view v, const KeyTarget& t) {
  t.daemon->nameservers.clear();
  for (auto piece : splitList(v)) t.daemon->nameservers.emplace_back(piece);
  return {};
}

// Seconds in the file, milliseconds in the record. 0 would mean "no timeout"
// to the socket layer and could hang a worker forever, so it keeps the
// default as a malformed value does.
Result<void> dnsTimeout(std::string_view v, const KeyTarget& t) {
  auto s = parseUnsigned(v, std::numeric_limits<std::uint32_t>::max());
  if (!s || *s == 0) return {};
  t.daemon->dns_timeout_ms = *s > kMaxDnsTimeoutSeconds ? std::numeric_limits<std::uint32_t>::max()
                                                        : static_cast<std::uint32_t>(*s * 1000);
  return {};
}

Result<void> evaluationBudget(std::string_view v, const KeyTarget& t) {
  if (auto n = parseSigned(v)) t.daemon->max_evaluation_ms = *n;
  return {};
}

Result<void> minimumKeyBits(std::string_view v, const KeyTarget& t) {
  auto n = parseUnsigned(v, std::numeric_limits<std::uint32_t>::max());
  if (!n) return {};
  t.daemon->minimum_key_bits_raised = *n < kRsaMinimumKeyBits;
  t.daemon->minimum_key_bits = std::max(static_cast<std::uint32_t>(*n), kRsaMinimumKeyBits);
  return {};
}

Result<void> socket(std::string_view v, const KeyTarget& t) {
  auto spec = parseListenAddress(v);
  if (!spec) return fail(spec.error());
  *t.listener = std::move(*spec);
  return {};
}

Result<void> syslog(std::string_view v, const KeyTarget& t) {
  if (auto b = parseBoolean(v)) t.log->syslog = *b;
  return {};
}

Result<void> facility(std::string_view v, const KeyTarget& t) {
  t.log->facility = facilityFromName(v);
  return {};
}

Result<void> level(std::string_view v, const KeyTarget& t) {
  t.log->level = levelFromName(v);
  return {};
}

using enum KeySection;
using enum KeyGrammar;
using enum KeyStore;
using D = DaemonConfig;

constexpr std::array kRows = std::to_array<ConfigKey>({
    {"BodyLengthTag", Global, BodyLengthTag, "honor", Daemon, bodyLengthTag},
    {"UMask", Global, OctalInteger, "", Daemon, umask},
    {"Mode", GlobalAndListener, ModeName, "verify", Daemon, mode},
    {"Socket", Listener, ListenAddress, "", Daemon, socket},
    {"Syslog", Global, Boolean, "yes", Logging, syslog},
    {"SyslogFacility", Global, FacilityName, "mail", Logging, facility},
    {"LogLevel", Global, LevelName, "info", Logging, level},
    {"AuthservID", Global, Text, "localhost", Daemon, text<&D::authserv_id>},
    {"WorkerThreads", Global, Integer, "0", Daemon, integer<&D::worker_threads>},
    {"MaxConnections", Global, Integer, "256", Daemon, integer<&D::max_connections>},
    {"PidFile", Global, Text, "/var/run/quellsig/quellsig.pid", Daemon, text<&D::pid_file>},
    {"Foreground", Global, Boolean, "no", Daemon, boolean<&D::foreground>},
    {"User", Global, Text, "", Daemon, text<&D::user>},
    {"DnsNameserver", Global, NameserverList, "127.0.0.1", Daemon, nameservers},
    {"DnsTimeout", Global, Integer, "5", Daemon, dnsTimeout},
    {"DnsRetries", Global, Integer, "2", Daemon, integer<&D::dns_retries>},
    {"DnsCacheSize", Global, Integer, "1000", Daemon, integer<&D::dns_cache_size>},
    {"DnsNegativeTTL", Global, Integer, "60", Daemon, integer<&D::dns_negative_ttl>},
    {"SignedHeaders", Global, Text, kDefaultSignedHeaders, Daemon, text<&D::signed_headers>},
    {"OverSignHeaders", Global, Text, kDefaultOversignHeaders, Daemon,
     text<&D::oversign_headers>},
    {"MaxKeyRecords", Global, Integer, "3", Daemon, integer<&D::max_key_records>},
    {"MaxEvaluationMs", Global, SignedInteger, "20000", Daemon, evaluationBudget},
    {"StripAuthResults", Global, Boolean, "no", Daemon, boolean<&D::strip_auth_results>},
    {"MultiSign", Global, Boolean, "no", Daemon, boolean<&D::multi_sign>},
    {"MaxBodyBytes", Global, Size, "10M", Daemon, size<&D::max_body_bytes>},
    {"MaxHeaders", Global, Integer, "500", Daemon, integer<&D::max_headers>},
    {"MaxHeaderBytes", Global, Size, "1M", Daemon, size<&D::max_header_bytes>},
    {"MaxSignatures", Global, Integer, "20", Daemon, integer<&D::max_signatures>},
    {"MinimumKeyBits", Global, Integer, "1024", Daemon, minimumKeyBits},
    {"ZmqEndpoint", Global, Text, "", Daemon, text<&D::zmq_endpoint>},
    {"ZmqTopic", Global, Text, "dkim", Daemon, text<&D::zmq_topic>},
    {"SigningTable", Listener, Text, "", Daemon, text<&D::signing_table>},
    {"KeyTable", Listener, Text, "", Daemon, text<&D::key_table>},
    {"Domain", Listener, Text, "", Daemon, text<&D::domain>},
    {"Selector", Listener, Text, "", Daemon, text<&D::selector>},
    {"KeyFile", Listener, Text, "", Daemon, text<&D::key_file>},
});

constexpr std::uint64_t decimal(std::string_view s) {
  std::uint64_t v = 0;
  for (char c : s) v = v * 10 + static_cast<std::uint64_t>(c - '0');
  return v;
}
// The default of MinimumKeyBits is the floor itself.
static_assert(decimal(std::ranges::find(kRows, "MinimumKeyBits", &ConfigKey::name)->default_value) ==
              kRsaMinimumKeyBits);

}  // namespace

const std::span<const ConfigKey> kConfigKeys{kRows};

const ConfigKey* findConfigKey(std::string_view name) {
  auto it = std::ranges::find(kRows, name, &ConfigKey::name);
  return it == kRows.end() ? nullptr : &*it;
}

bool acceptedIn(const ConfigKey& key, bool listener_section) {
  if (key.section == GlobalAndListener) return true;
  return (key.section == Listener) == listener_section;
}

}  // namespace quellsig
