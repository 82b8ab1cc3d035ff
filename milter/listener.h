// Listener: one worker's listening socket for one configured listener.
//
// createListener binds a new socket for the listener address (see
// platform/listen_socket.h for the socket options and the errors): every
// worker binds its own, so an inet listener is shared between the workers by
// port reuse, while a UNIX-domain path ends up naming the socket of the last
// worker that bound it; an earlier worker's socket there is replaced, and any
// file that is not a socket makes the bind fail with AddressInUse. An inet
// address that is not an IP literal is InvalidHost.
//
// closeListener removes the socket file of a UNIX-domain listener (only when
// a socket sits at the path), closes the socket, and does nothing the second
// time. A listener belongs to the worker whose queue it is registered with;
// one thread at a time.
#pragma once

#include <string>

#include "config/listener_spec.h"
#include "platform/error.h"
#include "platform/fd.h"

namespace quellsig {

struct Listener {
  std::string path;  // UNIX-domain listeners only
  bool is_unix = false;
  platform::UniqueFd socket;  // invalid once closed
  // The last accept ran short of descriptors or memory: accept again when a
  // connection of this worker closes, or within a second.
  bool accept_retry = false;
};

Result<Listener> createListener(const ListenerSpec& spec);
void closeListener(Listener& listener);

}  // namespace quellsig
