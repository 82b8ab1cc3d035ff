#include "platform/inet_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

namespace quellsig::platform {
namespace {

static_assert(sizeof(sockaddr_in6) <= sizeof(SocketAddress::storage));
static_assert(sizeof(sockaddr_in) <= sizeof(SocketAddress::storage));

const sockaddr_in* v4(const SocketAddress& a) {
  return reinterpret_cast<const sockaddr_in*>(a.storage.data());
}
const sockaddr_in6* v6(const SocketAddress& a) {
  return reinterpret_cast<const sockaddr_in6*>(a.storage.data());
}

// inet_pton needs a terminated string; an embedded NUL would cut the text.
bool terminatedCopy(std::string_view text, std::size_t max_length,
                    char (&buf)[INET6_ADDRSTRLEN + 1]) {
  if (text.empty() || text.size() > max_length || text.find('\0') != text.npos) return false;
  std::memcpy(buf, text.data(), text.size());
  buf[text.size()] = '\0';
  return true;
}

}  // namespace

bool isIpv6Literal(std::string_view text) {
  char buf[INET6_ADDRSTRLEN + 1];
  // The longest text form is 45 characters (INET6_ADDRSTRLEN counts the NUL).
  if (!terminatedCopy(text, INET6_ADDRSTRLEN - 1, buf)) return false;
  in6_addr addr{};
  return ::inet_pton(AF_INET6, buf, &addr) == 1;
}

Result<SocketAddress> parseIpLiteral(std::string_view text, std::uint16_t port) {
  char buf[INET6_ADDRSTRLEN + 1];
  if (!terminatedCopy(text, INET6_ADDRSTRLEN, buf)) return fail(Error::InvalidArgument);

  SocketAddress out;
  sockaddr_in sin{};
  if (::inet_pton(AF_INET, buf, &sin.sin_addr) == 1) {
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    std::memcpy(out.storage.data(), &sin, sizeof sin);
    out.length = sizeof sin;
    return out;
  }
  sockaddr_in6 sin6{};
  if (::inet_pton(AF_INET6, buf, &sin6.sin6_addr) == 1) {
    sin6.sin6_family = AF_INET6;
    sin6.sin6_port = htons(port);
    std::memcpy(out.storage.data(), &sin6, sizeof sin6);
    out.length = sizeof sin6;
    return out;
  }
  return fail(Error::InvalidArgument);
}

bool isIpv6(const SocketAddress& a) { return v4(a)->sin_family == AF_INET6; }

std::uint16_t portOf(const SocketAddress& a) {
  return ntohs(isIpv6(a) ? v6(a)->sin6_port : v4(a)->sin_port);
}

SocketAddress withPort(const SocketAddress& a, std::uint16_t port) {
  SocketAddress out = a;
  if (isIpv6(a)) {
    reinterpret_cast<sockaddr_in6*>(out.storage.data())->sin6_port = htons(port);
  } else {
    reinterpret_cast<sockaddr_in*>(out.storage.data())->sin_port = htons(port);
  }
  return out;
}

bool sameEndpoint(const SocketAddress& a, const SocketAddress& b) {
  if (v4(a)->sin_family != v4(b)->sin_family) return false;
  if (isIpv6(a)) {
    return v6(a)->sin6_port == v6(b)->sin6_port &&
           std::memcmp(&v6(a)->sin6_addr, &v6(b)->sin6_addr, sizeof(in6_addr)) == 0;
  }
  if (v4(a)->sin_family != AF_INET) return false;
  return v4(a)->sin_port == v4(b)->sin_port && v4(a)->sin_addr.s_addr == v4(b)->sin_addr.s_addr;
}

std::string describe(const SocketAddress& a) {
  char buf[INET6_ADDRSTRLEN] = {};
  std::string out;
  if (isIpv6(a)) {
    ::inet_ntop(AF_INET6, &v6(a)->sin6_addr, buf, sizeof buf);
    out.push_back('[');
    out.append(buf);
    out.push_back(']');
  } else {
    ::inet_ntop(AF_INET, &v4(a)->sin_addr, buf, sizeof buf);
    out.append(buf);
  }
  out.push_back(':');
  out.append(std::to_string(portOf(a)));
  return out;
}

}  // namespace quellsig::platform
