#include "platform/blocking_stream.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "platform/socket_common.h"
#include "platform/system_error.h"

namespace quellsig::platform {
namespace {

constexpr int kListenBacklog = 1024;

Result<sockaddr_un> pathAddress(std::string_view path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.find('\0') != std::string_view::npos) return fail(Error::InvalidPath);
  if (path.size() >= sizeof(addr.sun_path)) return fail(Error::PathTooLong);
  std::memcpy(addr.sun_path, path.data(), path.size());
  return addr;
}

}  // namespace

Result<BlockingStream> BlockingStream::connectInet(const SocketAddress& to,
                                                   std::uint32_t connect_timeout_ms) {
  UniqueFd fd(::socket(detail::familyOf(to), SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return fail(lastError());
  if (auto r = detail::connectWithin(fd.get(), to.storage.data(), to.length, connect_timeout_ms);
      !r) {
    return fail(r.error());
  }
  return BlockingStream(std::move(fd), true);
}

Result<BlockingStream> BlockingStream::connectLocal(std::string_view path,
                                                    std::uint32_t connect_timeout_ms) {
  auto addr = pathAddress(path);
  if (!addr) return fail(addr.error());
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return fail(lastError());
  if (auto r = detail::connectWithin(fd.get(), &*addr, sizeof *addr, connect_timeout_ms); !r) {
    return fail(r.error());
  }
  return BlockingStream(std::move(fd), false);
}

Result<void> BlockingStream::setTimeouts(std::uint32_t ms) {
  if (auto r = detail::setSocketTimeout(fd_.get(), SO_RCVTIMEO, ms); !r) return r;
  return detail::setSocketTimeout(fd_.get(), SO_SNDTIMEO, ms);
}

Result<void> BlockingStream::setNoDelay() {
  if (!tcp_) return {};
  int one = 1;
  if (::setsockopt(fd_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
    return fail(lastError());
  }
  return {};
}

Result<void> BlockingStream::writeAll(std::span<const std::uint8_t> bytes) {
  return detail::writeAll(fd_.get(), bytes);
}

Result<std::size_t> BlockingStream::readSome(std::span<std::uint8_t> out) {
  return detail::readSome(fd_.get(), out);
}

Result<void> BlockingStream::readExact(std::span<std::uint8_t> out) {
  return detail::readExact(fd_.get(), out);
}

StreamListener::StreamListener(StreamListener&& o) noexcept
    : fd_(std::move(o.fd_)), path_(std::move(o.path_)) {
  o.path_.clear();
}

StreamListener& StreamListener::operator=(StreamListener&& o) noexcept {
  if (this != &o) {
    if (!path_.empty()) ::unlink(path_.c_str());
    fd_ = std::move(o.fd_);
    path_ = std::move(o.path_);
    o.path_.clear();
  }
  return *this;
}

StreamListener::~StreamListener() {
  if (!path_.empty()) ::unlink(path_.c_str());
}

Result<StreamListener> StreamListener::listenInet(const SocketAddress& local) {
  auto fd = detail::listenStream(detail::familyOf(local), local.storage.data(), local.length,
                                 kListenBacklog, true);
  if (!fd) return fail(fd.error());
  return StreamListener(std::move(*fd), std::string());
}

Result<StreamListener> StreamListener::listenLocal(std::string_view path) {
  auto addr = pathAddress(path);
  if (!addr) return fail(addr.error());
  auto fd = detail::listenStream(AF_UNIX, &*addr, sizeof *addr, kListenBacklog, false);
  if (!fd) return fail(fd.error());
  // The path is ours from here: the listener removes it however it ends.
  return StreamListener(std::move(*fd), std::string(path));
}

Result<std::optional<BlockingStream>> StreamListener::accept(std::uint32_t timeout_ms) {
  auto fd = detail::acceptWithin(fd_.get(), timeout_ms);
  if (!fd) return fail(fd.error());
  if (!*fd) return std::optional<BlockingStream>();
  return std::optional<BlockingStream>(BlockingStream(std::move(**fd), path_.empty()));
}

Result<SocketAddress> StreamListener::localAddress() const {
  return detail::socketLocalAddress(fd_.get());
}

}  // namespace quellsig::platform
