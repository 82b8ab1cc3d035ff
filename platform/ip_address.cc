#include "platform/ip_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace quellsig::platform {

bool isIpv6Literal(std::string_view text) {
  char buf[INET6_ADDRSTRLEN + 1];
  // The longest text form is 45 characters (INET6_ADDRSTRLEN counts the NUL).
  if (text.empty() || text.size() > INET6_ADDRSTRLEN - 1) return false;
  if (text.find('\0') != std::string_view::npos) return false;
  std::memcpy(buf, text.data(), text.size());
  buf[text.size()] = '\0';
  in6_addr addr{};
  return ::inet_pton(AF_INET6, buf, &addr) == 1;
}

}  // namespace quellsig::platform
