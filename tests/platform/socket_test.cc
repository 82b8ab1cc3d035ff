#include <gtest/gtest.h>

#include "platform/inet_address.h"
#include "platform/socket_common.h"
#include "platform/tcp_stream.h"
#include "platform/thread.h"
#include "platform/udp_socket.h"

namespace quellsig::platform {
namespace {

// A wait longer than INT_MAX milliseconds would turn negative, which poll
// reads as "forever".
TEST(PollTimeoutTest, ClampsToTheLargestInt) {
  EXPECT_EQ(detail::pollTimeout(0), 0);
  EXPECT_EQ(detail::pollTimeout(20000), 20000);
  EXPECT_EQ(detail::pollTimeout(2147483647u), 2147483647);
  EXPECT_EQ(detail::pollTimeout(2147483648u), 2147483647);
  EXPECT_EQ(detail::pollTimeout(4294967295u), 2147483647);
  EXPECT_EQ(detail::pollTimeout(UINT64_MAX), 2147483647);
}

TEST(InetAddressTest, LiteralsOnly) {
  struct Case {
    const char* text;
    bool ok;
    const char* described;
  } cases[] = {
      {"127.0.0.1", true, "127.0.0.1:53"},
      {"::1", true, "[::1]:53"},
      {"2001:db8::5", true, "[2001:db8::5]:53"},
      {"localhost", false, ""},
      {"127.1", false, ""},
      {"", false, ""},
      {"[::1]", false, ""},
      {"1.2.3.4 ", false, ""},
  };
  for (const auto& tc : cases) {
    auto a = parseIpLiteral(tc.text, 53);
    ASSERT_EQ(a.has_value(), tc.ok) << tc.text;
    if (tc.ok) {
      EXPECT_EQ(describe(*a), tc.described) << tc.text;
    }
  }
  auto a = *parseIpLiteral("127.0.0.1", 53);
  EXPECT_TRUE(sameEndpoint(a, *parseIpLiteral("127.0.0.1", 53)));
  EXPECT_FALSE(sameEndpoint(a, withPort(a, 54)));
  EXPECT_FALSE(sameEndpoint(a, *parseIpLiteral("127.0.0.2", 53)));
  EXPECT_FALSE(sameEndpoint(a, *parseIpLiteral("::1", 53)));
}

TEST(SocketTest, UdpReceiveTimesOutAsAValueAndTcpReportsRefusal) {
  auto local = *parseIpLiteral("127.0.0.1", 0);
  auto sock = UdpSocket::bindTo(local);
  ASSERT_TRUE(sock);
  ASSERT_TRUE(sock->setReceiveTimeout(50));
  std::uint8_t buf[16];
  SocketAddress from;
  auto got = sock->receiveFrom(buf, from);
  ASSERT_TRUE(got);
  EXPECT_FALSE(*got);

  // The UDP port has no TCP listener: the connect is refused at once.
  auto bound = *sock->localAddress();
  auto tcp = TcpStream::open(bound);
  ASSERT_TRUE(tcp);
  auto c = tcp->connect(bound, 1000);
  ASSERT_FALSE(c);
  EXPECT_EQ(c.error(), Error::ConnectionRefused);
}

TEST(ThreadTest, RunsTheBodyAndJoins) {
  int ran = 0;
  auto t = Thread::start([&] { ran = 1; });
  ASSERT_TRUE(t);
  t->join();
  EXPECT_FALSE(t->joinable());
  EXPECT_EQ(ran, 1);
}

}  // namespace
}  // namespace quellsig::platform
