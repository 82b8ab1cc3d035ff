#include "tests/support/loopback_mta.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/byte_writer.h"
#include "platform/inet_address.h"
#include "platform/stream_socket.h"
#include "platform/system_error.h"
#include "tests/support/milter_client.h"

namespace quellsig::testing {
namespace {

// A blocking connection whose reads and writes give up after timeout_ms (a
// read then reports would-block).
Result<platform::UniqueFd> connectTo(int family, const sockaddr* address, socklen_t length,
                                     std::uint32_t timeout_ms) {
  platform::UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return fail(platform::lastError());
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout_ms / 1000);
  tv.tv_usec = static_cast<suseconds_t>((timeout_ms % 1000) * 1000);
  for (int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
    if (::setsockopt(fd.get(), SOL_SOCKET, option, &tv, sizeof tv) != 0) {
      return fail(platform::lastError());
    }
  }
  while (::connect(fd.get(), address, length) != 0) {
    if (errno != EINTR) return fail(platform::lastError());
  }
  return fd;
}

}  // namespace

std::optional<LoopbackMta> LoopbackMta::overTcp(std::string_view ip, std::uint16_t port,
                                                std::uint32_t timeout_ms) {
  auto address = platform::parseIpLiteral(ip, port);
  if (!address) return std::nullopt;
  auto fd = connectTo(address->length == sizeof(sockaddr_in) ? AF_INET : AF_INET6,
                      reinterpret_cast<const sockaddr*>(address->storage.data()),
                      static_cast<socklen_t>(address->length), timeout_ms);
  if (!fd) return std::nullopt;
  return LoopbackMta(std::move(*fd));
}

std::optional<LoopbackMta> LoopbackMta::overUnix(std::string_view path, std::uint32_t timeout_ms) {
  sockaddr_un sun{};
  if (path.size() >= sizeof sun.sun_path) return std::nullopt;
  sun.sun_family = AF_UNIX;
  std::memcpy(sun.sun_path, path.data(), path.size());
  auto fd = connectTo(AF_UNIX, reinterpret_cast<const sockaddr*>(&sun), sizeof sun, timeout_ms);
  if (!fd) return std::nullopt;
  return LoopbackMta(std::move(*fd));
}

bool LoopbackMta::send(std::string_view bytes) {
  while (!bytes.empty()) {
    auto n = platform::sendSome(
        fd_.get(), {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
    if (!n || n->would_block || n->bytes == 0) return false;
    bytes.remove_prefix(n->bytes);
  }
  return true;
}

bool LoopbackMta::readExact(std::string& out, std::size_t n) {
  std::array<std::uint8_t, 4096> buf;
  while (n > 0) {
    auto got = platform::receiveSome(fd_.get(), std::span(buf).first(std::min(n, buf.size())));
    if (!got || got->would_block || got->bytes == 0) return false;
    out.append(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(got->bytes));
    n -= got->bytes;
  }
  return true;
}

std::optional<std::string> LoopbackMta::readPacket() {
  std::string length;
  if (!readExact(length, 4)) return std::nullopt;
  const std::uint32_t n = (std::uint32_t{static_cast<std::uint8_t>(length[0])} << 24) |
                          (std::uint32_t{static_cast<std::uint8_t>(length[1])} << 16) |
                          (std::uint32_t{static_cast<std::uint8_t>(length[2])} << 8) |
                          std::uint32_t{static_cast<std::uint8_t>(length[3])};
  std::string packet;
  if (n == 0 || n > (1u << 20) || !readExact(packet, n)) return std::nullopt;
  return packet;
}

bool LoopbackMta::sendPacket(char command, std::string_view payload) {
  std::vector<std::uint8_t> out;
  appendMtaPacket(out, static_cast<std::uint8_t>(command), payload);
  return send(std::string_view(reinterpret_cast<const char*>(out.data()), out.size()));
}

bool LoopbackMta::sendNegotiation() {
  std::vector<std::uint8_t> offer;
  ByteWriter w(offer);
  w.writeU32(6);
  w.writeU32(0x1FF);
  w.writeU32(0x1FFFFF);
  return sendPacket('O', std::string_view(reinterpret_cast<const char*>(offer.data()), offer.size()));
}

std::optional<std::string> LoopbackMta::negotiate() {
  if (!sendNegotiation()) return std::nullopt;
  return readPacket();
}

bool LoopbackMta::closedByFilter() {
  std::array<std::uint8_t, 1> buf;
  auto got = platform::receiveSome(fd_.get(), buf);
  if (!got) return true;  // reset
  return !got->would_block && got->bytes == 0;
}

}  // namespace quellsig::testing
