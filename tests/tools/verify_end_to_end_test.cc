// End to end with real parts: keys from quellsig-genkey published through a
// real nsd, checked by quellsig-testkey, messages signed by quellsig-sign and
// verified by quellsig-check, and both directions against Perl's Mail::DKIM
// used as a black box through its documented interface.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/nsd_server.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace quellsig {
namespace {

namespace fs = std::filesystem;

const std::string kBin = QUELLSIG_BIN_DIR "/tools/";
const std::string kGenkey = kBin + "genkey/quellsig-genkey";
const std::string kSign = kBin + "sign/quellsig-sign";
const std::string kCheck = kBin + "check/quellsig-check";
const std::string kTestkey = kBin + "testkey/quellsig-testkey";

const char kMessage[] =
    "From: Alice <alice@example.test>\r\n"
    "To: Bob <bob@example.net>\r\n"
    "Subject: Quarterly  figures\r\n"
    "\tattached\r\n"
    "Date: Thu, 10 Dec 2026 12:00:00 +0000\r\n"
    "Message-ID: <e2e@example.test>\r\n"
    "\r\n"
    "Hello  Bob,   \r\n"
    "\r\n"
    "the figures follow.\r\n"
    "\r\n"
    "\r\n";

// Verifies a file with Mail::DKIM, or signs one (rsa-sha256, PEM key), with
// its resolver pointed at the test nameserver.
const char kPerl[] = R"PERL(
use strict;
use warnings;
use Mail::DKIM::Verifier;
use Mail::DKIM::Signer;
use Mail::DKIM::DNS;
use Net::DNS::Resolver;
my ($mode, $ns, $port, $file, @rest) = @ARGV;
Mail::DKIM::DNS::resolver(Net::DNS::Resolver->new(nameservers => [$ns], port => $port,
                                                  recurse => 0, retry => 1, udp_timeout => 5));
open(my $in, '<', $file) or die "open $file: $!";
binmode $in;
my $text = do { local $/; <$in> };
my $dkim;
if ($mode eq 'verify') {
  $dkim = Mail::DKIM::Verifier->new();
} else {
  my ($domain, $selector, $key, $method) = @rest;
  $dkim = Mail::DKIM::Signer->new(Algorithm => 'rsa-sha256', Method => $method, Domain => $domain,
                                  Selector => $selector, KeyFile => $key,
                                  Headers => 'from:to:subject:date:message-id');
}
$dkim->PRINT($text);
$dkim->CLOSE;
if ($mode eq 'verify') {
  print $dkim->result, "\n", ($dkim->result_detail // ''), "\n";
} else {
  binmode STDOUT;
  print $dkim->signature->as_string, "\015\012", $text;
}
)PERL";

// The base64 line of an armoured Ed25519 key file: the bare seed the sign
// tool reads.
std::string bareSeed(const std::string& armoured) {
  std::size_t start = armoured.find('\n') + 1;
  return armoured.substr(start, armoured.find('\n', start) - start) + "\n";
}

class VerifyEndToEndTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (const auto& p : {kGenkey, kSign, kCheck, kTestkey}) {
      if (!fs::exists(p)) {
        error_ = p + " not built";
        return;
      }
    }
    dir_ = new testutil::TempDir("e2e");
    struct Gen {
      std::string selector, algorithm;
    } gens[] = {{"rsa", "rsa"}, {"ed", "ed25519"}, {"other", "rsa"}, {"othered", "ed25519"}};
    for (const Gen& g : gens) {
      auto r = run({kGenkey, "-s", g.selector, "-d", "example.test", "-o", g.selector + ".key",
                    "-a", g.algorithm});
      if (r.exit_status != 0) {
        error_ = "genkey failed: " + r.err;
        return;
      }
    }
    dir_->write("ed.seed", bareSeed(dir_->read("ed.key")), 0600);
    dir_->write("verify.pl", kPerl, 0600);

    testing::NsdOptions o;
    o.zones.push_back({"example.test",
                       "$TTL 300\n"
                       "@ IN SOA ns.example.test. host.example.test. 1 3600 600 86400 300\n"
                       "@ IN NS ns.example.test.\n"
                       "ns IN A 127.0.0.53\n"
                       "$INCLUDE rsa.dns\n"
                       "$INCLUDE ed.dns\n"});
    o.extra_files = {{"rsa.dns", dir_->read("rsa.dns")}, {"ed.dns", dir_->read("ed.dns")}};
    server_ = testing::NsdServer::start(o, &error_).release();
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override { ASSERT_NE(server_, nullptr) << error_; }

  static testutil::ProgramResult run(std::vector<std::string> argv) {
    auto r = testutil::runProgram(argv, dir_->path().string());
    EXPECT_TRUE(r.has_value()) << argv[0];
    return r.value_or(testutil::ProgramResult{});
  }
  static std::vector<std::string> dnsArgs() {
    return {"-n", server_->address(), "-p", std::to_string(server_->port())};
  }
  static testutil::ProgramResult check(const std::string& file) {
    std::vector<std::string> argv = {kCheck};
    for (auto& a : dnsArgs()) argv.push_back(a);
    argv.push_back(file);
    return run(argv);
  }
  static testutil::ProgramResult testkey(const std::string& selector, const std::string& key) {
    std::vector<std::string> argv = {kTestkey, "-s", selector, "-d", "example.test", "-k", key};
    for (auto& a : dnsArgs()) argv.push_back(a);
    return run(argv);
  }
  static testutil::ProgramResult perl(std::vector<std::string> args) {
    std::vector<std::string> argv = {"/usr/bin/perl", "verify.pl", args[0], server_->address(),
                                     std::to_string(server_->port())};
    argv.insert(argv.end(), args.begin() + 1, args.end());
    return run(argv);
  }
  // Signs kMessage (or `text`) and stores the output under `name`.
  static std::string sign(const std::string& name, std::vector<std::string> options,
                          const std::string& text = kMessage) {
    dir_->write("in.eml", text, 0600);
    std::vector<std::string> argv = {kSign, "-d", "example.test", "--no-timestamp"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back("in.eml");
    auto r = run(argv);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    dir_->write(name, r.out, 0600);
    return r.out;
  }

  static inline testutil::TempDir* dir_ = nullptr;
  static inline testing::NsdServer* server_ = nullptr;
  static inline std::string error_;
};

TEST_F(VerifyEndToEndTest, TestkeyMatchesEachPublishedKeyAndRefusesAnother) {
  struct Case {
    std::string name, selector, key;
    int status;
    std::string algorithm;
  } cases[] = {
      {"rsa key", "rsa", "rsa.key", 0, "rsa"},
      {"ed25519 key", "ed", "ed.key", 0, "ed25519"},
      {"another rsa key", "rsa", "other.key", 1, "rsa"},
      {"another ed25519 key", "ed", "othered.key", 1, "ed25519"},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    auto r = testkey(tc.selector, tc.key);
    EXPECT_EQ(r.exit_status, tc.status) << r.err;
    std::string head = "quellsig-testkey: checking key " + tc.selector +
                       "._domainkey.example.test\n  algorithm: " + tc.algorithm + "\n";
    if (tc.status == 0) {
      EXPECT_EQ(r.out, head + "  result: PASS \u2014 DNS public key matches local private key\n");
    } else {
      EXPECT_EQ(r.out, head);
      EXPECT_EQ(r.err, "  result: FAIL \u2014 DNS public key does NOT match local private key\n");
    }
  }
  auto missing = testkey("absent", "rsa.key");
  EXPECT_EQ(missing.exit_status, 2);
  EXPECT_EQ(missing.err,
            "DNS lookup failed for absent._domainkey.example.test\n"
            "quellsig-testkey: cannot resolve DNS TXT record\n");
}

TEST_F(VerifyEndToEndTest, SignedMessagesPassAndTamperingIsNamed) {
  const std::string canons[] = {"simple/simple", "simple/relaxed", "relaxed/simple",
                                "relaxed/relaxed"};
  struct Key {
    std::string selector, algorithm, file;
  } keys[] = {{"rsa", "rsa-sha256", "rsa.key"}, {"ed", "ed25519-sha256", "ed.seed"}};
  for (const Key& k : keys) {
    for (const std::string& c : canons) {
      SCOPED_TRACE(k.algorithm + " " + c);
      std::string text =
          sign("signed.eml", {"-s", k.selector, "-a", k.algorithm, "-k", k.file, "-c", c});
      auto r = check("signed.eml");
      EXPECT_EQ(r.exit_status, 0) << r.err;
      EXPECT_EQ(r.out, "sig.0.result=pass\nsig.0.domain=example.test\nsig.0.selector=" +
                           k.selector + "\nsignatures=1\nresult=pass\n");

      std::string body_changed = text;
      body_changed.replace(body_changed.find("figures follow"), 7, "numbers");
      dir_->write("body.eml", body_changed, 0600);
      EXPECT_NE(check("body.eml")
                    .out.find("sig.0.result=fail\n"
                              "sig.0.domain=example.test\nsig.0.selector=" +
                              k.selector + "\nsig.0.reason=body hash mismatch\n"),
                std::string::npos);

      std::string header_changed = text;
      header_changed.replace(header_changed.find("Quarterly"), 9, "Annual");
      dir_->write("header.eml", header_changed, 0600);
      EXPECT_NE(check("header.eml").out.find("sig.0.reason=signature mismatch\n"),
                std::string::npos);
    }
  }
}

// Mail::DKIM 1.20230212 (Debian 12) has no ed25519-sha256, so only rsa-sha256
// is exchanged with it.
TEST_F(VerifyEndToEndTest, MailDkimAgreesInBothDirections) {
  for (const std::string c :
       {"simple/simple", "simple/relaxed", "relaxed/simple", "relaxed/relaxed"}) {
    SCOPED_TRACE(c);
    sign("ours.eml", {"-s", "rsa", "-k", "rsa.key", "-c", c});
    auto theirs = perl({"verify", "ours.eml"});
    EXPECT_EQ(theirs.exit_status, 0) << theirs.err;
    EXPECT_EQ(theirs.out.substr(0, 5), "pass\n") << theirs.out << theirs.err;

    dir_->write("plain.eml", kMessage, 0600);
    auto signed_by_them = perl({"sign", "plain.eml", "example.test", "rsa", "rsa.key", c});
    ASSERT_EQ(signed_by_them.exit_status, 0) << signed_by_them.err;
    dir_->write("theirs.eml", signed_by_them.out, 0600);
    auto ours = check("theirs.eml");
    EXPECT_EQ(ours.exit_status, 0) << ours.err;
    EXPECT_NE(ours.out.find("sig.0.result=pass\n"), std::string::npos) << ours.out;
    EXPECT_NE(ours.out.find("\nresult=pass\n"), std::string::npos) << ours.out;
  }
}

}  // namespace
}  // namespace quellsig
