// The resolver against a real authoritative server started by the test.
#include <gtest/gtest.h>

#include <string>

#include "dns/message.h"
#include "dns/resolver.h"
#include "platform/udp_socket.h"
#include "tests/support/log_capture.h"
#include "tests/support/nsd_server.h"

namespace quellsig {
namespace {

std::string bigTxt() {
  std::string rr = "big IN TXT";
  for (int i = 0; i < 8; ++i) rr += " \"" + std::string(250, char('a' + i)) + "\"";
  return rr;
}

class NsdTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    testing::NsdOptions o;
    o.zones.push_back({"example.test",
                       "$TTL 300\n"
                       "@ IN SOA ns.example.test. host.example.test. 1 3600 600 86400 300\n"
                       "@ IN NS ns.example.test.\n"
                       "ns IN A 127.0.0.53\n"
                       "multi IN TXT \"v=DKIM1; \" \"k=rsa; \" \"p=ABC\"\n" +
                           bigTxt() + "\n"});
    server_ = testing::NsdServer::start(o, &error_).release();
  }
  static void TearDownTestSuite() { delete server_; }

  void SetUp() override { ASSERT_NE(server_, nullptr) << error_; }
  std::unique_ptr<DnsResolver> resolver() {
    DnsSettings s;
    s.nameservers = {server_->address()};
    s.port = server_->port();
    s.timeout_ms = 2000;
    return std::move(*DnsResolver::create(s));
  }

  static inline testing::NsdServer* server_ = nullptr;
  static inline std::string error_;
};

TEST_F(NsdTest, MultiStringTxtIsJoined) {
  auto got = resolver()->lookupTxt("Multi.Example.Test");
  ASSERT_TRUE(got) << errorName(got.error());
  ASSERT_EQ(got->size(), 1u);
  EXPECT_EQ((*got)[0].type, kDnsTypeTxt);
  EXPECT_EQ((*got)[0].data, "v=DKIM1; k=rsa; p=ABC");
  EXPECT_EQ((*got)[0].ttl, 300u);
}

TEST_F(NsdTest, NameErrorIsCached) {
  testing::LogCapture log;
  auto r = resolver();
  EXPECT_EQ(r->lookupTxt("absent.example.test").error(), Error::DnsNameError);
  EXPECT_EQ(r->lookupTxt("absent.example.test").error(), Error::DnsNameError);
  EXPECT_EQ(log.count("dns: cache negative hit absent.example.test kind=name_error"), 1);
}

TEST_F(NsdTest, LargeAnswerIsTruncatedOverUdpAndCompleteOverTcp) {
  // A bare UDP exchange shows what the server does with the 1232-byte limit.
  auto addr = platform::parseIpLiteral(server_->address(), server_->port());
  ASSERT_TRUE(addr);
  auto sock = platform::UdpSocket::open(*addr);
  ASSERT_TRUE(sock);
  ASSERT_TRUE(sock->setReceiveTimeout(2000));
  auto query = encodeQuery("big.example.test", 0x4242);
  ASSERT_TRUE(query);
  ASSERT_TRUE(sock->sendTo(*query, *addr));
  std::uint8_t buf[4096];
  platform::SocketAddress from;
  auto n = sock->receiveFrom(buf, from);
  ASSERT_TRUE(n && *n);
  auto udp = parseResponse(std::span<const std::uint8_t>(buf, **n));
  ASSERT_TRUE(udp);
  EXPECT_TRUE(udp->truncated);
  EXPECT_LE(**n, 1232u);

  testing::LogCapture log;
  auto got = resolver()->lookupTxt("big.example.test");
  ASSERT_TRUE(got) << errorName(got.error());
  ASSERT_EQ(got->size(), 1u);
  std::string want;
  for (int i = 0; i < 8; ++i) want += std::string(250, char('a' + i));
  EXPECT_EQ((*got)[0].data, want);
  EXPECT_EQ(log.count("dns: big.example.test truncated over udp, retrying over tcp"), 1);
}

}  // namespace
}  // namespace quellsig
