#include "config/listener_spec.h"

#include "config/value_grammar.h"
#include "platform/inet_address.h"

namespace quellsig {

std::string_view listenerModeName(ListenerMode m) {
  switch (m) {
    case ListenerMode::Sign:
      return "sign";
    case ListenerMode::Verify:
      return "verify";
    case ListenerMode::Both:
      return "both";
  }
  return "verify";
}

std::optional<ListenerMode> listenerModeFromName(std::string_view name) {
  if (name == "sign") return ListenerMode::Sign;
  if (name == "verify") return ListenerMode::Verify;
  if (name == "both") return ListenerMode::Both;
  return std::nullopt;
}

bool isIpv4Literal(std::string_view text) {
  int parts = 0;
  while (true) {
    auto dot = text.find('.');
    std::string_view part = text.substr(0, dot);
    if (part.empty() || part.size() > 3) return false;
    if (part.size() > 1 && part.front() == '0') return false;
    unsigned value = 0;
    for (char c : part) {
      if (c < '0' || c > '9') return false;
      value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 255) return false;
    ++parts;
    if (dot == std::string_view::npos) break;
    text.remove_prefix(dot + 1);
  }
  return parts == 4;
}

namespace {

Result<ListenerSpec> unixPath(std::string_view path) {
  // An empty path cannot be bound; refusing it here names the mistake.
  if (path.empty() || path.size() > kMaxUnixSocketPath) return fail(Error::InvalidPath);
  return ListenerSpec{std::string(path), 0, true};
}

Result<ListenerSpec> inetAddress(std::string_view rest) {
  auto at = rest.find('@');
  auto port = parseUnsigned(rest.substr(0, at), 0xffff);
  if (!port) return fail(Error::InvalidPort);
  std::string_view host = "0.0.0.0";
  if (at != std::string_view::npos) {
    host = rest.substr(at + 1);
    if (!isIpv4Literal(host) && !platform::isIpv6Literal(host)) return fail(Error::InvalidHost);
  }
  return ListenerSpec{std::string(host), static_cast<std::uint16_t>(*port), false};
}

}  // namespace

Result<ListenerSpec> parseListenAddress(std::string_view value) {
  if (value.starts_with("inet:")) return inetAddress(value.substr(5));
  if (value.starts_with("unix:")) return unixPath(value.substr(5));
  if (value.starts_with("/")) return unixPath(value);
  return inetAddress(value);
}

}  // namespace quellsig
