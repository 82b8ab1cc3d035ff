// SIGHUP while the daemon signs and verifies, as a process: a refused reload
// leaves signing with the old keys, a good one brings a new domain's key into
// use, and each worker starts over with an empty key cache. Messages are
// signed through a sign listener and checked through a verify listener of
// the same daemon, which looks the keys up on a fake nameserver that counts
// the queries per name.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "tests/config/signing_test_keys.h"
#include "tests/daemon/daemon_process.h"
#include "tests/support/fake_dns_server.h"
#include "tests/support/milter_client.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace quellsig {
namespace {

using testing::Daemon;
using testing::FakeDnsServer;
using testing::FakeQuery;
using testing::kSighup;
using testing::kSigterm;
using testing::MessageReplies;
using testing::MilterClient;
using testing::MilterMessage;
using testing::MilterTarget;
using testing::ownedRun;
using testing::readUntilCount;

constexpr std::string_view kAcknowledged = "worker: config reload acknowledged\n";
// The daemon always asks port 53, so each test has its own address in
// 127.0.13.0/24, which no other test uses.
std::string nameserverAddress(int test) { return "127.0.13." + std::to_string(test); }

// The DKIM key record publishing the public half of a PEM private key.
std::string keyRecord(const std::string& pem_path) {
  const std::vector<std::string> argv = {
      "/bin/sh", "-c",
      "openssl pkey -in '" + pem_path + "' -pubout -outform DER | openssl base64 -A"};
  auto r = testutil::runProgram(argv, "");
  EXPECT_TRUE(r.has_value() && r->exit_status == 0 && !r->out.empty()) << pem_path;
  return "v=DKIM1; k=rsa; p=" + (r ? r->out : std::string());
}

// TXT records by name on the fake nameserver; every other name is NXDOMAIN
// (the health monitor's probes included). Counts the queries for each name.
class KeyZone {
 public:
  explicit KeyZone(const std::string& address) {
    server_ = FakeDnsServer::start(address, 53, [this](const FakeQuery& q) {
      std::lock_guard lock(mu_);
      ++queries_[q.name];
      auto it = records_.find(q.name);
      if (it == records_.end()) {
        return std::vector<testing::FakeDatagram>{{testing::buildReply(q, 3, {})}};
      }
      std::vector<std::string> pieces;
      for (std::size_t i = 0; i < it->second.size(); i += 255)
        pieces.push_back(it->second.substr(i, 255));
      return std::vector<testing::FakeDatagram>{
          {testing::buildReply(q, 0, {{q.name, kDnsTypeTxt, 300, testing::txtRdata(pieces)}})}};
    });
  }
  bool running() const { return server_ != nullptr; }
  void publish(const std::string& selector, const std::string& domain, const std::string& pem) {
    std::lock_guard lock(mu_);
    records_[selector + "._domainkey." + domain] = keyRecord(pem);
  }
  int queries(const std::string& name) {
    std::lock_guard lock(mu_);
    return queries_[name];
  }

 private:
  std::mutex mu_;
  std::map<std::string, std::string> records_;
  std::map<std::string, int> queries_;
  std::unique_ptr<FakeDnsServer> server_;  // last: its thread reads the maps
};

MilterMessage message(const std::string& domain) {
  const std::string text = "From: Alice <alice@" + domain +
                           ">\r\n"
                           "To: Bob <bob@example.net>\r\n"
                           "Subject: Reload\r\n"
                           "Date: Fri, 11 Dec 2026 12:00:00 +0000\r\n"
                           "Message-ID: <reload@" +
                           domain +
                           ">\r\n"
                           "\r\n"
                           "Signed across a reload.\r\n";
  auto m = MilterMessage::parse(text, "alice@" + domain, {"bob@example.net"});
  EXPECT_TRUE(m.has_value());
  return m.value_or(MilterMessage{});
}

// The values of the fields a reply asks to insert under `name`.
std::vector<std::string> inserted(const MessageReplies& replies, std::string_view name) {
  std::vector<std::string> values;
  for (const auto& c : replies.changes) {
    if (c.reply == 'i' && c.name == name) values.push_back(c.value);
  }
  return values;
}

class DaemonReloadSigningTest : public ::testing::Test {
 protected:
  // Starts the nameserver at the test's own address and the daemon.
  void start(int test) {
    const std::string nameserver = nameserverAddress(test);
    zone_ = std::make_unique<KeyZone>(nameserver);
    ASSERT_TRUE(zone_->running()) << "cannot bind " << nameserver << " port 53";
    key_ = testing_keys::copyKey(dir_.path(), "a.pem", 1024);
    zone_->publish("sa", "example.test", key_);
    writeTables("*@example.test ka\n", "ka example.test:sa:" + key_ + "\n");
    sign_port_ = testing::freePort();
    verify_port_ = testing::freePort();
    const std::string conf = dir_.write(
        "c.conf", ownedRun(dir_) +
                      "Syslog = no\nLogLevel = debug\nWorkerThreads = 1\nDnsTimeout = 2\n"
                      "DnsNameserver = " +
                      nameserver +
                      "\n"
                      "[listener:sign]\nMode = sign\nSocket = inet:" +
                      std::to_string(sign_port_) +
                      "@127.0.0.1\n"
                      "SigningTable = " +
                      dir_.file("SigningTable") + "\nKeyTable = " + dir_.file("KeyTable") +
                      "\n"
                      "[listener:verify]\nMode = verify\nSocket = inet:" +
                      std::to_string(verify_port_) + "@127.0.0.1\n");
    daemon_ = std::make_unique<Daemon>(std::vector<std::string>{"-c", conf});
    ASSERT_TRUE(daemon_->started());
    seen_ = daemon_->stderrUntil("mode=verify\n");
    ASSERT_NE(seen_.find("mode=verify\n"), std::string::npos) << seen_;
  }
  void TearDown() override {
    if (!daemon_ || !daemon_->started()) return;
    daemon_->signal(kSigterm);
    seen_ += daemon_->stderrToEnd();
    EXPECT_EQ(daemon_->exitCode(), 0) << seen_;
  }

  void writeTables(const std::string& signing, const std::string& keys) {
    dir_.write("SigningTable", signing);
    dir_.write("KeyTable", keys);
  }

  MessageReplies send(std::uint16_t port, const MilterMessage& m, std::uint32_t* flags = nullptr) {
    // The listeners open in the workers after the start-up records, so the
    // first connection may come too early.
    auto client = MilterClient::connect(MilterTarget::inet("127.0.0.1", port), {});
    for (int waited = 0; !client && waited < testing::kTimeoutMs; waited += 50) {
      platform::sleepMillis(50);
      client = MilterClient::connect(MilterTarget::inet("127.0.0.1", port), {});
    }
    EXPECT_TRUE(client.has_value()) << errorName(client.error());
    if (!client) return {};
    auto replies = (*client)->sendMessage(m);
    EXPECT_TRUE(replies.has_value());
    if (flags != nullptr) *flags = (*client)->negotiatedProtocolFlags();
    return replies.value_or(MessageReplies{});
  }

  // Signs m through the sign listener; returns the DKIM-Signature values it
  // asked for and stores the message as the MTA then delivers it.
  std::vector<std::string> sign(const MilterMessage& m, MilterMessage& delivered) {
    std::uint32_t flags = 0;
    MessageReplies replies = send(sign_port_, m, &flags);
    auto parsed = MilterMessage::parse(testing::applyHeaderChanges(m, replies.changes, flags),
                                       m.sender, m.recipients);
    EXPECT_TRUE(parsed.has_value());
    delivered = parsed.value_or(MilterMessage{});
    return inserted(replies, "DKIM-Signature");
  }

  // The Authentication-Results values the verify listener gives m.
  std::vector<std::string> verify(const MilterMessage& m) {
    return inserted(send(verify_port_, m), "Authentication-Results");
  }

  // Sends SIGHUP and waits for the reload's outcome: the worker's
  // acknowledgement and the record of a good reload, or the refusal.
  void reload(bool good, std::size_t reloads_so_far) {
    daemon_->signal(kSighup);
    if (good) {
      ASSERT_TRUE(readUntilCount(*daemon_, seen_, kAcknowledged, reloads_so_far + 1)) << seen_;
      ASSERT_TRUE(
          readUntilCount(*daemon_, seen_, "signing configuration reloaded (", reloads_so_far + 1))
          << seen_;
    } else {
      ASSERT_TRUE(readUntilCount(*daemon_, seen_, "keeping previous\n", 1)) << seen_;
    }
  }

  testutil::TempDir dir_{"drs"};
  std::unique_ptr<KeyZone> zone_;
  std::string key_;
  std::uint16_t sign_port_ = 0, verify_port_ = 0;
  std::unique_ptr<Daemon> daemon_;
  std::string seen_;
};

// Checks one signature by domain and its verification by the daemon.
void expectSignedAndPassing(const std::vector<std::string>& signatures,
                            const std::vector<std::string>& results, const std::string& domain) {
  ASSERT_EQ(signatures.size(), 1u);
  EXPECT_NE(signatures[0].find("d=" + domain + ";"), std::string::npos) << signatures[0];
  ASSERT_EQ(results.size(), 1u);
  EXPECT_NE(results[0].find("dkim=pass"), std::string::npos) << results[0];
  EXPECT_NE(results[0].find("header.d=" + domain), std::string::npos) << results[0];
}

TEST_F(DaemonReloadSigningTest, RefusedWeakKeyLeavesSigningWithTheOldKeys) {
  ASSERT_NO_FATAL_FAILURE(start(1));
  MilterMessage before;
  auto signatures = sign(message("example.test"), before);
  expectSignedAndPassing(signatures, verify(before), "example.test");

  const std::string weak = testing_keys::copyKey(dir_.path(), "weak.pem", 512);
  zone_->publish("sw", "weak.example", weak);
  writeTables("*@example.test ka\n*@weak.example kw\n",
              "ka example.test:sa:" + key_ + "\nkw weak.example:sw:" + weak + "\n");
  reload(false, 0);
  EXPECT_NE(seen_.find("KeyTable key " + weak + " is below the RFC 8301 minimum of 1024 bits"),
            std::string::npos)
      << seen_;

  MilterMessage after;
  signatures = sign(message("example.test"), after);
  expectSignedAndPassing(signatures, verify(after), "example.test");
  MilterMessage unsigned_weak;
  EXPECT_TRUE(sign(message("weak.example"), unsigned_weak).empty())
      << "the refused configuration never took effect";
  EXPECT_EQ(testing::count(seen_, kAcknowledged), 0u) << seen_;
}

TEST_F(DaemonReloadSigningTest, NewDomainKeySignsAfterAGoodReload) {
  ASSERT_NO_FATAL_FAILURE(start(2));
  MilterMessage delivered;
  EXPECT_TRUE(sign(message("new.example"), delivered).empty()) << "no key for new.example yet";

  const std::string fresh = testing_keys::copyKey(dir_.path(), "n.pem", 2048);
  zone_->publish("sn", "new.example", fresh);
  writeTables("*@example.test ka\n*@new.example kn\n",
              "ka example.test:sa:" + key_ + "\nkn new.example:sn:" + fresh + "\n");
  reload(true, 0);

  auto signatures = sign(message("new.example"), delivered);
  expectSignedAndPassing(signatures, verify(delivered), "new.example");
  signatures = sign(message("example.test"), delivered);
  expectSignedAndPassing(signatures, verify(delivered), "example.test");
}

TEST_F(DaemonReloadSigningTest, FirstVerificationAfterAReloadAsksTheNameserverAgain) {
  ASSERT_NO_FATAL_FAILURE(start(3));
  const std::string name = "sa._domainkey.example.test";
  MilterMessage signed_message;
  ASSERT_EQ(sign(message("example.test"), signed_message).size(), 1u);
  EXPECT_EQ(zone_->queries(name), 0) << "signing looks nothing up";

  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE("verification " + std::to_string(round) + " before the reload");
    auto results = verify(signed_message);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_NE(results[0].find("dkim=pass"), std::string::npos) << results[0];
    EXPECT_EQ(zone_->queries(name), 1) << "the second verification is answered from the cache";
  }

  reload(true, 0);
  auto results = verify(signed_message);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_NE(results[0].find("dkim=pass"), std::string::npos) << results[0];
  EXPECT_EQ(zone_->queries(name), 2) << "the reload emptied the worker's cache";
}

}  // namespace
}  // namespace quellsig
