// Connection I/O over real sockets: reads cut into packets, replies written
// with back-pressure, the output queue limit at its exact boundary, peers
// that go away, and the end-of-message seam.
#include <gtest/gtest.h>

#include <string>

#include "milter/packet.h"
#include "platform/inet_address.h"
#include "platform/tcp_stream.h"
#include "tests/milter/milter_fixture.h"
#include "tests/support/log_capture.h"

namespace quellsig::testing {
namespace {

using namespace std::string_literals;

TEST(MilterIoTest, TwoPacketsInOneReadAreBothAnswered) {
  MilterPeer peer;
  EXPECT_EQ(peer.feed(packet('H', "a.example") + packet('N')), ConnectionStatus::Open);
  EXPECT_EQ(peer.replies(), kContinue + kContinue);
  EXPECT_EQ(peer.connection->helo_name, "a.example");
  EXPECT_TRUE(peer.connection->read_buffer.bytes.empty());
}

TEST(MilterIoTest, PacketOverOneByteReadsIsDecodedOnce) {
  MilterPeer peer;
  const std::string bytes = packet('H', "slow.example") + packet('N').substr(0, 2);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    SCOPED_TRACE(i);
    peer.feed(bytes.substr(i, 1));
    const ReadBuffer& rb = peer.connection->read_buffer;
    if (i < 3) {
      EXPECT_FALSE(rb.length_cached);
    } else if (i < 16) {
      // From the fourth byte on the length stays cached until the packet
      // is whole.
      EXPECT_TRUE(rb.length_cached);
      EXPECT_EQ(rb.cached_length, 13u);
      EXPECT_FALSE(peer.connection->helo_name.has_value());
    } else if (i == 16) {
      EXPECT_EQ(peer.replies(), kContinue);
    }
  }
  EXPECT_EQ(peer.connection->helo_name, "slow.example");
  EXPECT_EQ(peer.replies(), "");
  peer.feed(packet('N').substr(2));
  EXPECT_EQ(peer.replies(), kContinue);
}

TEST(MilterIoTest, QueueLimitIsExact) {
  struct Case {
    const char* name;
    std::size_t pending;
    std::size_t payload;  // L = 1 + payload
    bool fits;
  } cases[] = {
      {"pending + 4 + L = 262,144", 262140 - 5, 4, true},
      {"one byte more", 262140 - 5, 5, false},
      {"L = 1 MiB, empty queue", 0, 1048575, false},  // the queue limit comes first
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    MilterPeer peer;
    peer.connection->reply_queue.bytes.assign(tc.pending + 100, 'x');
    peer.connection->reply_queue.write_offset = 100;
    const std::string p = packet('i', std::string(tc.payload, 'v'));
    auto queued =
        queuePacket(*peer.connection, {reinterpret_cast<const std::uint8_t*>(p.data()), p.size()});
    EXPECT_EQ(queued.has_value(), tc.fits);
    const ReplyQueue& q = peer.connection->reply_queue;
    if (tc.fits) {
      // The written part was dropped before appending.
      EXPECT_EQ(q.write_offset, 0u);
      EXPECT_EQ(q.bytes.size(), 262144u);
    } else {
      EXPECT_EQ(queued.error(), Error::OutputQueueFull);
      EXPECT_EQ(q.bytes.size() - q.write_offset, tc.pending);
    }
  }
  MilterPeer peer;
  const std::string huge = packet('i', std::string(1048576, 'v'));
  EXPECT_EQ(queuePacket(*peer.connection,
                        {reinterpret_cast<const std::uint8_t*>(huge.data()), huge.size()})
                .error(),
            Error::PacketTooLarge);
}

TEST(MilterIoTest, PeerThatNeverReadsIsHeldThenDropped) {
  LogCapture log;
  MilterPeer peer(defaultRuntimeSettings(), "192.0.2.7");
  ASSERT_TRUE(platform::setSendBufferSize(peer.connection->socket.get(), 4096));
  int fed = 0;
  ConnectionStatus status = ConnectionStatus::Open;
  const std::string batch = [] {
    std::string b;
    for (int i = 0; i < 500; ++i) b += packet('N');
    return b;
  }();
  // The MTA side never reads. Every 'N' adds 5 bytes of replies.
  while (status == ConnectionStatus::Open && fed < 200000) {
    status = peer.feed(batch);
    fed += 500;
  }
  ASSERT_EQ(status, ConnectionStatus::Closed);
  EXPECT_FALSE(peer.registrar.open());
  EXPECT_EQ(peer.registrar.write_once.size(), 1u);
  int holding = 0;
  for (const auto& m : log.messages()) {
    if (m.starts_with("holding ")) {
      ++holding;
      EXPECT_TRUE(
          m.ends_with(" bytes of replies for unknown[192.0.2.7]: peer is not reading, "
                      "will resume when it does"))
          << m;
    }
  }
  EXPECT_EQ(holding, 1);
  // 262,140 unread + 4 + 1 passes 262,144: that reply is the one refused.
  EXPECT_EQ(log.count("dropping connection from unknown[192.0.2.7]: 262140 bytes of replies "
                      "unread, output queue full"),
            1);
}

TEST(MilterIoTest, WritableResumesAndTheNextBlockIsLoggedAgain) {
  LogCapture log;
  MilterPeer peer;
  ASSERT_TRUE(platform::setSendBufferSize(peer.connection->socket.get(), 4096));
  std::string batch;
  for (int i = 0; i < 2000; ++i) batch += packet('N');
  auto holdingCount = [&] {
    int n = 0;
    for (const auto& m : log.messages()) n += m.starts_with("holding ") ? 1 : 0;
    return n;
  };
  peer.feed(batch);
  ASSERT_TRUE(peer.connection->waiting_for_writable);
  EXPECT_EQ(holdingCount(), 1);
  // Each write-readiness event writes what the socket takes; a blocked
  // period that follows is logged again.
  EXPECT_EQ(peer.drainReplies().size(), 2000u * 5);
  const int after_drain = holdingCount();
  EXPECT_GE(after_drain, 1);
  EXPECT_EQ(peer.registrar.write_once.size(), static_cast<std::size_t>(after_drain));
  EXPECT_FALSE(peer.connection->waiting_for_writable);
  EXPECT_TRUE(peer.connection->reply_queue.bytes.empty());
  EXPECT_LE(peer.connection->reply_queue.bytes.capacity(), kReplyQueueKeptCapacity);
  peer.feed(batch);
  EXPECT_EQ(holdingCount(), after_drain + 1);
  EXPECT_EQ(peer.registrar.write_once.size(), static_cast<std::size_t>(after_drain + 1));
}

TEST(MilterIoTest, PeerClosingDuringEvaluationDropsTheConnection) {
  LogCapture log;
  MilterHooks hooks;
  MilterPeer* self = nullptr;
  hooks.end_of_message = [&](MilterConnection& c) {
    EXPECT_EQ(c.headers.size(), 1u);  // the record is whole during the call
    self->mta.reset();                // the MTA gives up while we look up keys
    return kReplyContinue;
  };
  MilterPeer peer(defaultRuntimeSettings(), "", hooks);
  self = &peer;
  peer.send(packet('L', "Subject\0hi\0"s) + packet('E') + packet('N'));
  EXPECT_EQ(onReadable(peer.worker, *peer.connection), ConnectionStatus::Closed);
  EXPECT_FALSE(peer.registrar.open());
  EXPECT_EQ(log.count("dropping connection from unknown[local]: reply write failed: "
                      "error.BrokenPipe"),
            1);
}

TEST(MilterIoTest, HeaderChangesGoOutBeforeTheReplyAndTheMessageIsResetFirst) {
  MilterHooks hooks;
  MilterPeer* self = nullptr;
  hooks.end_of_message = [&](MilterConnection& c) {
    std::vector<std::uint8_t> deletion, insertion;
    ByteWriter d(deletion), i(insertion);
    EXPECT_TRUE(encodeDeleteHeader(d, 1));
    EXPECT_TRUE(encodeInsertHeader(i, "Authentication-Results", "x; dkim=pass", false));
    EXPECT_TRUE(queuePacket(c, deletion));
    EXPECT_TRUE(queuePacket(c, insertion));
    // Nothing is written until the reply.
    EXPECT_EQ(self->replies(), "");
    return kReplyAccept;
  };
  MilterPeer peer(defaultRuntimeSettings(), "", hooks);
  self = &peer;
  peer.feed(packet('L', "Subject\0hi\0"s) + packet('B', "x"));
  peer.replies();
  peer.feed(packet('E'));
  std::vector<std::uint8_t> want;
  ByteWriter w(want);
  encodeDeleteHeader(w, 1);
  encodeInsertHeader(w, "Authentication-Results", "x; dkim=pass", false);
  w.writeText("\0\0\0\1a"s);
  EXPECT_EQ(peer.replies(), bytesOf(want));
  EXPECT_TRUE(peer.connection->headers.empty());
  EXPECT_TRUE(peer.connection->body.empty());
}

TEST(MilterIoTest, LargePacketDoesNotPinTheReadBuffer) {
  MilterPeer peer;
  const std::string big = packet('B', std::string(200 * 1024, 'b'));
  std::size_t sent = 0;
  while (sent < big.size()) {
    const std::size_t n = std::min<std::size_t>(32 * 1024, big.size() - sent);
    peer.feed(std::string_view(big).substr(sent, n));
    sent += n;
  }
  EXPECT_EQ(peer.connection->body.size(), 200u * 1024);
  EXPECT_TRUE(peer.connection->read_buffer.bytes.empty());
  EXPECT_EQ(peer.connection->read_buffer.bytes.capacity(), 0u);

  // Below the threshold the storage is kept for the next packets.
  peer.feed(packet('B', std::string(1000, 'b')));
  EXPECT_GT(peer.connection->read_buffer.bytes.capacity(), 0u);
}

TEST(MilterIoTest, SessionOverLoopbackTcp) {
  auto listener = platform::TcpListener::listenOn(*platform::parseIpLiteral("127.0.0.1", 0));
  ASSERT_TRUE(listener.has_value());
  auto where = listener->localAddress();
  ASSERT_TRUE(where.has_value());
  auto mta = platform::TcpStream::open(*where);
  ASSERT_TRUE(mta.has_value());
  ASSERT_TRUE(mta->setTimeouts(2000));
  ASSERT_TRUE(mta->connect(*where, 2000));
  auto accepted = listener->accept(2000);
  ASSERT_TRUE(accepted.has_value() && accepted->has_value());
  platform::UniqueFd fd = std::move(**accepted).releaseFd();
  ASSERT_TRUE(platform::makeNonBlocking(fd.get()));

  FakeRegistrar registrar;
  MilterHooks hooks;
  hooks.end_of_message = [](MilterConnection& c) {
    return c.body == "hello\r\n" ? kReplyContinue : kReplyTempfail;
  };
  MilterWorker worker{registrar, hooks};
  RuntimeSettings settings = defaultRuntimeSettings();
  auto c = createConnection(std::move(fd), 0, settings, "127.0.0.1");
  ASSERT_TRUE(c.has_value());
  MilterConnection& conn = registrar.adopt(std::move(*c));

  const std::string session = negotiation(6, 0x1ff, 0x1fffff) +
                              packet('C',
                                     "[127.0.0.1]\0004\x01\x19"
                                     "127.0.0.1\0"s) +
                              packet('M', "<a@example.test>\0"s) + packet('L', "From\0 a\0"s) +
                              packet('N') + packet('B', "hello\r\n") + packet('E');
  ASSERT_TRUE(
      mta->writeAll({reinterpret_cast<const std::uint8_t*>(session.data()), session.size()}));
  const std::string want = bytesOf(encodeNegotiation(0x11, 0x100000)) + kContinue + kContinue +
                           kContinue + kContinue + kContinue + kContinue;
  std::string got(want.size(), '\0');
  // The bytes may arrive over several reads.
  std::size_t have = 0;
  for (int round = 0; round < 200 && have < want.size(); ++round) {
    ASSERT_EQ(onReadable(worker, conn), ConnectionStatus::Open);
    auto n =
        mta->readSome({reinterpret_cast<std::uint8_t*>(got.data()) + have, want.size() - have});
    ASSERT_TRUE(n.has_value());
    have += *n;
  }
  EXPECT_EQ(got, want);

  ASSERT_TRUE(mta->writeAll({reinterpret_cast<const std::uint8_t*>("\0\0\0\1Q"), 5}));
  for (int round = 0; round < 200 && registrar.open(); ++round) onReadable(worker, conn);
  EXPECT_FALSE(registrar.open());
}

}  // namespace
}  // namespace quellsig::testing
