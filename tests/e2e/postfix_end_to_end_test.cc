// Postfix relays mail through the daemon, both configured exactly as the
// Postfix guide says (its marked blocks, with only addresses, ports and paths
// moved into a scratch directory), with the key published by a real nsd.
// Local submission reaches the signing listener, SMTP the verifying one. What
// arrives is checked with the check tool and with Perl's Mail::DKIM as a
// black box. Needs root (Postfix) and the Debian packages of scripts/install-deps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/log_socket.h"
#include "tests/support/background_process.h"
#include "tests/support/guide_blocks.h"
#include "tests/support/listening_ports.h"
#include "tests/support/mail_dkim.h"
#include "tests/support/milter_client.h"
#include "tests/support/nsd_server.h"
#include "tests/support/postfix_instance.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"
#include "tests/support/text_file.h"

namespace quellsig {
namespace {

namespace fs = std::filesystem;

const std::string kDaemon = QUELLSIG_BIN_DIR "/daemon/quellsig";
const std::string kGenkey = QUELLSIG_BIN_DIR "/tools/genkey/quellsig-genkey";
const std::string kSign = QUELLSIG_BIN_DIR "/tools/sign/quellsig-sign";
const std::string kCheck = QUELLSIG_BIN_DIR "/tools/check/quellsig-check";

constexpr std::uint32_t kStartMs = 10000;
constexpr std::uint32_t kDeliveryMs = 30000;
constexpr std::uint32_t kStopMs = 5000;
// The daemon asks its nameservers on the DNS port, so nsd listens there, on
// a loopback address of this run's own.
constexpr std::uint16_t kDnsPort = 53;
const std::string kLoopback = "127.0.0.1";

// A message from the signing domain of the guide to the fixture's sink,
// with folded header fields (Subject, To) among the signed ones.
std::string message(const std::string& id, const std::string& body = "Hello Bob,\r\n") {
  return "From: Alice <alice@example.com>\r\n"
         "To: Bob <bob@example.test>,\r\n"
         "\tCarol <carol@example.test>\r\n"
         "Subject: Quarterly figures,\r\n"
         " with a folded subject\r\n"
         "Date: Fri, 11 Dec 2026 12:00:00 +0000\r\n"
         "Message-ID: <" +
         id + "@example.com>\r\n\r\n" + body + "\r\nthe figures follow.\r\n";
}

// Maildir files have LF line ends; the verifiers take the wire form.
std::string crlf(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 40);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out.push_back('\r');
    out.push_back(text[i]);
  }
  return out;
}

// The values of the header fields called `name` (any case) of a delivered
// message, folds included.
std::vector<std::string> fieldValues(const std::string& text, std::string_view name) {
  std::vector<std::string> out;
  auto parsed = testing::MilterMessage::parse(text, "", {});
  EXPECT_TRUE(parsed.has_value()) << text;
  if (!parsed) return out;
  for (const auto& [field, value] : parsed->headers) {
    if (std::ranges::equal(field, name, [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) ==
                 std::tolower(static_cast<unsigned char>(b));
        })) {
      out.push_back(value);
    }
  }
  return out;
}

class PostfixEndToEndTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (const auto& p : {kDaemon, kGenkey, kSign, kCheck}) {
      if (!fs::exists(p)) {
        error_ = p + " not built";
        return;
      }
    }
    dir_ = new testutil::TempDir("pe2e");
    const std::string d = dir_->path().string();
    auto key = run({kGenkey, "-s", "mail2026", "-d", "example.com", "-o", "mail2026.key"});
    if (key.exit_status != 0) {
      error_ = "genkey failed: " + key.err;
      return;
    }
    if (!startNsd()) return;

    const std::string guide = testing::readTextFile(QUELLSIG_SOURCE_DIR "/docs/postfix.md");
    const auto daemon_block = testutil::guideBlock(guide, "quellsig.conf");
    const auto main_cf = testutil::guideBlock(guide, "postfix-main.cf");
    if (!daemon_block || !main_cf) {
      error_ = "docs/postfix.md lacks its quellsig.conf or postfix-main.cf block";
      return;
    }
    const std::uint16_t verify_port = testing::pickFreePort(kLoopback);
    std::uint16_t sign_port = testing::pickFreePort(kLoopback);
    while (sign_port == verify_port) sign_port = testing::pickFreePort(kLoopback);
    const std::string vp = std::to_string(verify_port);
    const std::string sp = std::to_string(sign_port);
    // Records go to standard error (the output file) instead of syslog, and
    // two workers serve, as on the machines the guide has in mind.
    std::string conf = testutil::substituted(
        *daemon_block, {{"8891@127.0.0.1", vp + "@" + kLoopback},
                        {"8892@127.0.0.1", sp + "@" + kLoopback},
                        {"/run/quellsig/", d + "/"},
                        {"/etc/quellsig/", d + "/"},
                        {"DnsNameserver = 127.0.0.1", "DnsNameserver = " + nsd_->address()}});
    conf = testutil::substituted(conf, {{"[global]\n", "[global]\nSyslog = no\nWorkerThreads = 2\n"}});
    dir_->write("quellsig.conf", conf, 0600);
    // The tables as the guide writes them.
    dir_->write("KeyTable", "example   example.com:mail2026:" + d + "/mail2026.key\n", 0600);
    dir_->write("SigningTable", "*@example.com   example\n", 0600);
    ports_ = {verify_port, sign_port};
    if (!startDaemon()) return;

    testing::PostfixOptions options;
    options.milter_settings = testutil::mainCfSettings(
        testutil::substituted(*main_cf, {{"127.0.0.1:8891", kLoopback + ":" + vp},
                                         {"127.0.0.1:8892", kLoopback + ":" + sp}}));
    postfix_ = testing::PostfixInstance::start(options, &error_).release();
  }

  static void TearDownTestSuite() {
    delete postfix_;
    postfix_ = nullptr;
    delete daemon_;
    daemon_ = nullptr;
    delete nsd_;
    nsd_ = nullptr;
    delete dir_;
    dir_ = nullptr;
  }

  void SetUp() override { ASSERT_NE(postfix_, nullptr) << error_; }

  static bool startNsd() {
    // Other runs may hold port 53 on some loopback address: try a few of
    // this process's own.
    const int base = static_cast<int>(platform::processId() % 200) + 20;
    for (int i = 0; i < 5 && !nsd_; ++i) {
      testing::NsdOptions o;
      o.address = "127.53." + std::to_string(base) + "." + std::to_string(i + 1);
      o.port = kDnsPort;
      o.zones.push_back({"example.com",
                         "$TTL 300\n"
                         "@ IN SOA ns.example.com. host.example.com. 1 3600 600 86400 300\n"
                         "@ IN NS ns.example.com.\n"
                         "ns IN A " + o.address + "\n"
                         "$INCLUDE mail2026.dns\n"});
      o.extra_files = {{"mail2026.dns", dir_->read("mail2026.dns")}};
      nsd_ = testing::NsdServer::start(o, &error_).release();
    }
    return nsd_ != nullptr;
  }

  static bool startDaemon() {
    const std::string d = dir_->path().string();
    const std::vector<std::string> argv = {kDaemon, "-c", d + "/quellsig.conf"};
    auto p = testutil::BackgroundProcess::spawn(argv, d + "/quellsig.log");
    if (!p) {
      error_ = "cannot start the daemon: " + std::string(errorName(p.error()));
      return false;
    }
    daemon_ = new testutil::BackgroundProcess(std::move(*p));
    if (!testutil::waitUntilListening(kLoopback, ports_, kStartMs)) {
      error_ = "the daemon did not listen: " + daemonLog();
      return false;
    }
    return true;
  }

  static void stopDaemon() {
    daemon_->stop(kStopMs);
    delete daemon_;
    daemon_ = nullptr;
  }

  static std::string daemonLog() { return dir_->read("quellsig.log"); }

  static testutil::ProgramResult run(std::vector<std::string> argv) {
    auto r = testutil::runProgram(argv, dir_->path().string());
    EXPECT_TRUE(r.has_value()) << argv[0];
    return r.value_or(testutil::ProgramResult{});
  }

  // Signs `text` as a sending host of example.com would, with the key the
  // daemon's KeyTable names.
  static std::string signedByTool(const std::string& text) {
    dir_->write("unsigned.eml", text, 0600);
    auto r = run({kSign, "-d", "example.com", "-s", "mail2026", "-k", "mail2026.key",
                  "unsigned.eml"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    return r.out;
  }

  // The delivered message whose Message-ID holds `id`, once it arrives.
  static std::string deliveredMessage(const std::string& id) {
    const std::string needle = "<" + id + "@example.com>";
    const std::uint64_t count = postfix_->delivered().size();
    for (std::size_t want = count;; ++want) {
      auto all = postfix_->waitForDelivery(want, kDeliveryMs);
      for (const std::string& m : all) {
        if (m.find(needle) != std::string::npos) return m;
      }
      if (all.size() < want) return "";
    }
  }

  struct Verdicts {
    testutil::ProgramResult ours;
    testutil::ProgramResult theirs;
  };
  static Verdicts verify(const std::string& delivered) {
    dir_->write("delivered.eml", crlf(delivered), 0600);
    Verdicts v;
    v.ours = run({kCheck, "-n", nsd_->address(), "-p", std::to_string(kDnsPort), "delivered.eml"});
    auto theirs = testutil::mailDkimVerify("delivered.eml", nsd_->address(), kDnsPort,
                                           dir_->path().string());
    EXPECT_TRUE(theirs.has_value());
    v.theirs = theirs.value_or(testutil::ProgramResult{});
    return v;
  }

  static void expectSignedAndPassing(const std::string& delivered) {
    const auto sigs = fieldValues(delivered, "DKIM-Signature");
    ASSERT_EQ(sigs.size(), 1u) << delivered;
    EXPECT_NE(sigs[0].find("d=example.com;"), std::string::npos) << sigs[0];
    EXPECT_NE(sigs[0].find("s=mail2026;"), std::string::npos) << sigs[0];
    const Verdicts v = verify(delivered);
    EXPECT_EQ(v.ours.exit_status, 0) << v.ours.out << v.ours.err << delivered;
    EXPECT_NE(v.ours.out.find("sig.0.result=pass\n"), std::string::npos) << v.ours.out;
    EXPECT_TRUE(v.theirs.out.starts_with("pass\n")) << v.theirs.out << v.theirs.err << delivered;
  }

  static inline testutil::TempDir* dir_ = nullptr;
  static inline testing::NsdServer* nsd_ = nullptr;
  static inline testutil::BackgroundProcess* daemon_ = nullptr;
  static inline testing::PostfixInstance* postfix_ = nullptr;
  static inline std::vector<std::uint16_t> ports_;
  static inline std::string error_;
};

TEST_F(PostfixEndToEndTest, LocalMailIsSignedAndPassesBothVerifiers) {
  std::string error;
  ASSERT_TRUE(postfix_->sendmail("alice@example.com", {"bob@example.test", "carol@example.test"},
                                 message("signed"), &error))
      << error;
  const std::string delivered = deliveredMessage("signed");
  ASSERT_FALSE(delivered.empty()) << postfix_->log() << daemonLog();
  // The folds reached the daemon and the mailbox as sent.
  EXPECT_NE(delivered.find("Subject: Quarterly figures,\n with a folded subject\n"),
            std::string::npos)
      << delivered;
  expectSignedAndPassing(delivered);
  // The per-message record names the client, which Postfix sends only
  // because the guide's milter_connect_macros ask for {client_addr}.
  EXPECT_NE(daemonLog().find("client=127.0.0.1 from=alice@example.com listener=1 mode=sign"),
            std::string::npos)
      << daemonLog();
}

TEST_F(PostfixEndToEndTest, InboundMailGetsItsResultAndLosesForgedResults) {
  const std::string good = signedByTool(message("inbound-good"));
  std::string tampered = signedByTool(message("inbound-tampered"));
  tampered.replace(tampered.find("Hello Bob"), 9, "Hello Eve");
  // Above the signature, as a hop on the way would add it: the signature
  // stays valid, and the field claims this host's authserv-id.
  const std::string forged =
      "Authentication-Results: mx.example.com; dkim=pass (forged upstream)"
      " header.d=example.com\r\n" +
      signedByTool(message("inbound-forged"));
  struct Case {
    std::string name, id, text, result;
  } cases[] = {
      {"signed by the sign tool", "inbound-good", good, "dkim=pass"},
      {"body changed after signing", "inbound-tampered", tampered, "dkim=fail"},
      {"forged result above a good signature", "inbound-forged", forged, "dkim=pass"},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    const auto sent = postfix_->submit(postfix_->filteredPort(), "alice@example.com",
                                       {"bob@example.test"}, tc.text);
    ASSERT_TRUE(sent.accepted) << sent.transcript;
    const std::string delivered = deliveredMessage(tc.id);
    ASSERT_FALSE(delivered.empty()) << postfix_->log() << daemonLog();
    const auto results = fieldValues(delivered, "Authentication-Results");
    ASSERT_EQ(results.size(), 1u) << delivered;
    EXPECT_TRUE(results[0].starts_with(" mx.example.com;")) << results[0];
    EXPECT_NE(results[0].find(tc.result), std::string::npos) << results[0];
    EXPECT_EQ(results[0].find("forged upstream"), std::string::npos) << results[0];
    // The verifying listener does not sign.
    EXPECT_EQ(fieldValues(delivered, "DKIM-Signature").size(), 1u) << delivered;
  }
  const std::string log = daemonLog();
  EXPECT_NE(log.find("client=127.0.0.1 from=alice@example.com listener=0 mode=verify"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("removed 1 forged Authentication-Results header(s) claiming authserv-id "
                     "mx.example.com"),
            std::string::npos)
      << log;
}

TEST_F(PostfixEndToEndTest, DaemonDownDefersAndMailIsFilteredOnceItIsBack) {
  stopDaemon();
  // Submitted locally while it is down: held in the maildrop directory.
  std::string error;
  ASSERT_TRUE(postfix_->sendmail("alice@example.com", {"bob@example.test"}, message("while-down"),
                                 &error))
      << error;
  ASSERT_TRUE(postfix_->waitForLog("try again later; from=<alice@example.com>", kDeliveryMs))
      << postfix_->log();
  // Relayed to the SMTP service while it is down: deferred in the queue.
  const auto queued = postfix_->submit(postfix_->relayPort(), "alice@example.com",
                                       {"bob@example.test"}, signedByTool(message("relayed")));
  ASSERT_TRUE(queued.accepted) << queued.transcript;
  ASSERT_TRUE(postfix_->waitForLog("status=deferred", kDeliveryMs)) << postfix_->log();
  for (const std::string& m : postfix_->delivered()) {
    EXPECT_EQ(m.find("<while-down@example.com>"), std::string::npos) << m;
    EXPECT_EQ(m.find("<relayed@example.com>"), std::string::npos) << m;
  }

  ASSERT_TRUE(startDaemon()) << error_;
  ASSERT_TRUE(postfix_->flushQueue(&error)) << error;
  const std::string signed_later = deliveredMessage("while-down");
  ASSERT_FALSE(signed_later.empty()) << postfix_->log() << daemonLog();
  expectSignedAndPassing(signed_later);
  const std::string verified_later = deliveredMessage("relayed");
  ASSERT_FALSE(verified_later.empty()) << postfix_->log() << daemonLog();
  const auto results = fieldValues(verified_later, "Authentication-Results");
  ASSERT_EQ(results.size(), 1u) << verified_later;
  EXPECT_NE(results[0].find("dkim=pass"), std::string::npos) << results[0];
}

}  // namespace
}  // namespace quellsig
