#include "milter/listener.h"

#include <new>

#include "platform/inet_address.h"
#include "platform/listen_socket.h"

namespace quellsig {

Result<Listener> createListener(const ListenerSpec& spec) {
  try {
    Listener l;
    if (spec.unix_socket) {
      auto fd = platform::listenOnUnixPath(spec.address);
      if (!fd) return fail(fd.error());
      l.path = spec.address;
      l.is_unix = true;
      l.socket = std::move(*fd);
      return l;
    }
    auto address = platform::parseIpLiteral(spec.address, spec.port);
    if (!address) return fail(Error::InvalidHost);
    auto fd = platform::listenOnInet(*address);
    if (!fd) return fail(fd.error());
    l.socket = std::move(*fd);
    return l;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

void closeListener(Listener& listener) {
  if (!listener.socket) return;
  if (listener.is_unix) platform::removeUnixSocketFile(listener.path);
  listener.socket.reset();
  listener.accept_retry = false;
}

}  // namespace quellsig
