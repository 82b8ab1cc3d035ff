// Fixtures for the milter tests: a registrar standing in for the worker's
// event loop, a connection on one end of a real socket pair with the MTA's
// end in the test's hands, and builders for MTA packets.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/runtime_settings.h"
#include "milter/connection.h"
#include "milter/connection_io.h"
#include "platform/byte_writer.h"
#include "platform/stream_socket.h"
#include "tests/support/milter_client.h"

namespace quellsig::testing {

// Owns the connections as the worker's table would; closeConnection
// destroys the record at once, so a use after close shows under ASan.
class FakeRegistrar : public EventRegistrar {
 public:
  MilterConnection& adopt(std::unique_ptr<MilterConnection> c) {
    owned_ = std::move(c);
    return *owned_;
  }
  void addWriteOnce(int fd) override { write_once.push_back(fd); }
  void closeConnection(MilterConnection& c) override {
    EXPECT_EQ(&c, owned_.get());
    destroyConnection(std::move(owned_));
    ++closed;
  }
  bool open() const { return owned_ != nullptr; }

  std::vector<int> write_once;
  int closed = 0;

 private:
  std::unique_ptr<MilterConnection> owned_;
};

// One MTA packet: length, command, payload.
inline std::string packet(char command, std::string_view payload = {}) {
  std::vector<std::uint8_t> out;
  appendMtaPacket(out, static_cast<std::uint8_t>(command), payload);
  return std::string(out.begin(), out.end());
}

inline std::string be32(std::uint32_t v) {
  std::array<std::uint8_t, 4> b{};
  ByteWriter w(b);
  w.writeU32(v);
  return std::string(b.begin(), b.end());
}

inline std::string negotiation(std::uint32_t version, std::uint32_t actions, std::uint32_t flags) {
  return packet('O', be32(version) + be32(actions) + be32(flags));
}

inline std::string bytesOf(std::span<const std::uint8_t> b) {
  return std::string(b.begin(), b.end());
}

// A connection served over a socket pair; mta is the MTA's end.
class MilterPeer {
 public:
  explicit MilterPeer(RuntimeSettings settings = defaultRuntimeSettings(), std::string_view label = "",
                      MilterHooks hooks = {})
      : settings_(std::move(settings)), worker(MilterWorker{registrar, std::move(hooks)}) {
    auto pair = platform::streamSocketPair();
    EXPECT_TRUE(pair.has_value());
    mta = std::move((*pair)[1]);
    auto c = createConnection(std::move((*pair)[0]), 0, settings_, label);
    EXPECT_TRUE(c.has_value());
    connection = &registrar.adopt(std::move(*c));
  }

  void send(std::string_view bytes) {
    while (!bytes.empty()) {
      auto n = platform::sendSome(
          mta.get(), {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
      ASSERT_TRUE(n.has_value());
      ASSERT_FALSE(n->would_block) << "test sent more than the socket holds";
      bytes.remove_prefix(n->bytes);
    }
  }
  // Sends the bytes and lets the filter read them.
  ConnectionStatus feed(std::string_view bytes) {
    send(bytes);
    return onReadable(worker, *connection);
  }
  // Everything the filter has written so far.
  std::string replies() {
    std::string out;
    std::array<std::uint8_t, 65536> buf;
    for (;;) {
      auto n = platform::receiveSome(mta.get(), buf);
      if (!n || n->would_block || n->bytes == 0) return out;
      out.append(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n->bytes));
    }
  }
  // Reads replies until the filter holds none back. Each reply is a write of
  // its own, so a long run of them can fill the socket before the test reads.
  std::string drainReplies() {
    std::string out = replies();
    while (registrar.open() && connection->waiting_for_writable) {
      if (onWritable(worker, *connection) == ConnectionStatus::Closed) break;
      out += replies();
    }
    return out;
  }

 private:
  RuntimeSettings settings_;

 public:
  FakeRegistrar registrar;
  MilterWorker worker;
  platform::UniqueFd mta;
  MilterConnection* connection = nullptr;
};

inline const std::string kContinue = std::string("\0\0\0\1c", 5);

}  // namespace quellsig::testing
