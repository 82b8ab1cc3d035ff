// Listener addresses (the Socket key) and listener modes.
//
// parseListenAddress accepts "inet:PORT[@ADDRESS]", "unix:/path", "/path" and
// a bare "PORT[@ADDRESS]". It fails with InvalidPort (not a 16-bit integer),
// InvalidHost (not a literal IPv4 or IPv6 address; host names are refused) or
// InvalidPath (a unix path longer than 103 bytes, or empty). Without "@" an
// inet listener binds 0.0.0.0. Pure; any thread may call it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace quellsig {

enum class ListenerMode : std::uint8_t { Sign = 0, Verify = 1, Both = 2 };

// "sign", "verify" or "both".
std::string_view listenerModeName(ListenerMode m);
// Exactly one of the three names; anything else is nullopt.
std::optional<ListenerMode> listenerModeFromName(std::string_view name);

struct ListenerSpec {
  std::string address;     // IP literal for inet, the socket path for unix
  std::uint16_t port = 0;  // inet only
  bool unix_socket = false;

  bool operator==(const ListenerSpec&) const = default;
};

inline constexpr std::size_t kMaxUnixSocketPath = 103;

Result<ListenerSpec> parseListenAddress(std::string_view value);

// Four decimal parts 0-255 separated by dots, without leading zeros.
bool isIpv4Literal(std::string_view text);

}  // namespace quellsig
