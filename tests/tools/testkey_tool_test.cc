#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/base64.h"
#include "engine/ed25519.h"
#include "engine/key_loading.h"
#include "engine/rsa_keygen.h"
#include "platform/exclusive_file.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/tool_dns_fixture.h"
#include "tools/testkey/key_tag_scan.h"
#include "tools/testkey/testkey.h"

namespace quellsig {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kName = "sel._domainkey.example.test";
const std::string kPass = "  result: PASS \u2014 DNS public key matches local private key\n";
const std::string kFail = "  result: FAIL \u2014 DNS public key does NOT match local private key\n";

TEST(KeyTagScanTest, FirstExactNameWinsAndValuesAreTrimmed) {
  struct Case {
    std::string_view data, name;
    std::optional<std::string_view> want;
  } cases[] = {
      {"v=DKIM1; k=ed25519; p= abc \v", "p", "abc"},
      {";; \r\n p=first; p=second", "p", "first"},
      {"P=upper; p=lower", "p", "lower"},
      {"k=rsa", "p", std::nullopt},
      {"p", "p", std::nullopt},
      {"p=", "p", ""},
      {"p=ab cd", "p", "ab cd"},
      {"x=1;", "p", std::nullopt},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.data);
    EXPECT_EQ(scanKeyTag(tc.data, tc.name), tc.want);
  }
}

class TestkeyToolTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(zone_.running()); }

  // An RSA PEM key file and its p= value.
  std::pair<std::string, std::string> rsaKeyFile(int bits, fs::perms mode) {
    PrivateKey key = std::move(generateRsaKey(bits).value());
    std::string path = dir_.file("rsa" + std::to_string(bits) + ".key");
    {
      auto fd = platform::createExclusiveFile(path, 0600);
      EXPECT_TRUE(fd.has_value()) << path;
      EXPECT_TRUE(fd && writeRsaPrivateKeyPem(key, fd->get()).has_value()) << path;
    }
    fs::permissions(path, mode);
    return {path, base64Encode(rsaPublicKeyDer(key).value())};
  }

  using Run = testing::ToolRun;
  Run run(std::vector<std::string> args) { return zone_.run(runTestkey, args); }
  Run test(const std::string& key) { return run({"-s", "sel", "-d", "example.test", "-k", key}); }

  testing::TxtZone zone_;
  testutil::TempDir dir_{"testkey"};
};

TEST_F(TestkeyToolTest, ArgumentErrors) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{"-s"}, 2, "missing argument for -s"},
      {{"-s", "a", "-d"}, 2, "missing argument for -d"},
      {{"-k"}, 2, "missing argument for -k"},
      {{"-n"}, 2, "missing argument for -n"},
      {{"-p"}, 2, "missing argument for -p"},
      {{"word"}, 2, "unknown option (use -h for help)"},
      {{"-x", "-h"}, 2, "unknown option (use -h for help)"},
      {{"-p", "70000"}, 2, "invalid port"},
      {{"-p", "abc"}, 2, "invalid port"},
      {{"-p", ""}, 2, "invalid port"},
      {{"-d", "x", "-k", "y"}, 2, "-s <selector> is required"},
      {{"-s", "-d", "-k", "y"}, 2, "-d <domain> is required"},  // -s took "-d"
      {{"-s", "a", "-d", "b"}, 2, "-k <keyfile> is required"},
      {{"-s", "a", "-d", "b", "-k", "c", "-n", "localhost"},
       2,
       "DNS resolver: invalid nameserver address (-n takes an IPv4 or IPv6 literal)"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(::testing::PrintToString(tc.args));
    Run r = run(tc.args);
    EXPECT_EQ(r.status, tc.status);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "quellsig-testkey: " + tc.err + "\n");
  }
  auto ports = parseTestkeyArgs(std::vector<std::string_view>{"-p", "5_3", "-s", "a"});
  ASSERT_TRUE(!ports.has_value());
  // -d missing, but the port parsed: the complaint is not "invalid port".
  EXPECT_EQ(ports.error(), std::string_view("-d <domain> is required"));
  const struct {
    std::string_view text;
    std::uint16_t port;
  } spellings[] = {{"0", 0},  {"5_3", 53}, {"+5_3", 53}, {"65535", 65535},
                   {"-0", 0}, {"-00", 0},  {"-0_0", 0}};
  for (const auto& tc : spellings) {
    SCOPED_TRACE(tc.text);
    auto o = parseTestkeyArgs(
        std::vector<std::string_view>{"-p", tc.text, "-s", "a", "-d", "b", "-k", "c"});
    ASSERT_TRUE(o.has_value()) << o.error();
    EXPECT_EQ(o->port, tc.port);
  }
}

TEST_F(TestkeyToolTest, HelpAfterValidOptions) {
  Run r = run({"-s", "a", "-h"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("Usage: quellsig-testkey [options]\n\n", 0), 0u);
  EXPECT_NE(r.out.find("\nExamples:\n  quellsig-testkey -s mail -d example.com -k "
                       "/usr/local/etc/quellsig/keys/mail.key\n\n"),
            std::string::npos);
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 15);
}

TEST_F(TestkeyToolTest, ComparesThePublishedKeyWithTheLocalOne) {
  const auto owner = fs::perms::owner_read | fs::perms::owner_write;
  auto [rsa, rsa_p] = rsaKeyFile(1024, owner);
  std::array<std::uint8_t, 32> seed{};
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(3 * i + 1);
  std::string ed_p = base64Encode(ed25519KeyFromSeed(seed).value().ed25519_public);
  std::string ed = dir_.write("ed.key",
                              "-----BEGIN ED25519 PRIVATE KEY-----\n" + base64Encode(seed) +
                                  "\n-----END ED25519 PRIVATE KEY-----\n",
                              0600);
  std::string short_seed = dir_.write(
      "short.key",
      "-----BEGIN X-----\n" + base64Encode(std::span(seed).first(31)) + "\n-----END X-----\n",
      0600);
  std::string split = rsa_p.substr(0, 20) + " " + rsa_p.substr(20);
  const std::string head = "quellsig-testkey: checking key " + std::string(kName) + "\n";

  struct Case {
    std::string name;
    std::vector<std::string> records;  // empty: the name does not exist
    std::string key;
    int status;
    std::string out, err;
  } cases[] = {
      {"rsa match",
       {"v=DKIM1; k=rsa; p=" + rsa_p},
       rsa,
       0,
       head + "  algorithm: rsa\n" + kPass,
       ""},
      {"k= absent means rsa", {"p=" + rsa_p}, rsa, 0, head + "  algorithm: rsa\n" + kPass, ""},
      {"ed25519 match",
       {"k=ed25519; p=" + ed_p},
       ed,
       0,
       head + "  algorithm: ed25519\n" + kPass,
       ""},
      {"revoked first, key second",
       {"p=", "p=" + rsa_p},
       rsa,
       0,
       head + "  algorithm: rsa\n" + kPass,
       ""},
      {"other key", {"p=" + ed_p}, rsa, 1, head + "  algorithm: rsa\n", kFail},
      {"p= split by a space", {"p=" + split}, rsa, 1, head + "  algorithm: rsa\n", kFail},
      {"k=ed25519 with a PEM file",
       {"k=ed25519; p=" + rsa_p},
       rsa,
       2,
       "",
       "quellsig-testkey: failed to load or parse private key file\n"},
      {"seed of 31 bytes",
       {"k=ed25519; p=" + ed_p},
       short_seed,
       2,
       "",
       "quellsig-testkey: failed to load or parse private key file\n"},
      {"missing key file",
       {"p=" + rsa_p},
       dir_.file("absent"),
       2,
       "",
       "quellsig-testkey: failed to load or parse private key file\n"},
      {"only revoked records",
       {"v=DKIM1; p=", "k=rsa"},
       rsa,
       2,
       "",
       "No key record found at " + std::string(kName) +
           "\nquellsig-testkey: key record not found or revoked (empty p=)\n"},
      {"no such name",
       {},
       rsa,
       2,
       "",
       "DNS lookup failed for " + std::string(kName) +
           "\nquellsig-testkey: cannot resolve DNS TXT record\n"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    if (!tc.records.empty()) zone_.set(std::string(kName), tc.records);
    Run r = test(tc.key);
    zone_.erase(std::string(kName));
    EXPECT_EQ(r.status, tc.status);
    EXPECT_EQ(r.out, tc.out);
    EXPECT_EQ(r.err, tc.err);
  }
}

TEST_F(TestkeyToolTest, WarnsAboutAnOpenKeyFileAndASmallKeyButStillCompares) {
  auto [path, p] =
      rsaKeyFile(512, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  zone_.set(std::string(kName), {"p=" + p});
  Run r = test(path);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err,
            "warning: " + path +
                " is mode 640, readable beyond its owner: chmod 600 and chown it to the "
                "user the daemon drops to.\n"
                "         quellsig will refuse to load it as it stands.\n"
                "warning: this key is 512 bits. RFC 8301 3.2 requires at least 1024, and a\n"
                "         conformant verifier treats anything signed with it as permanently\n"
                "         failed. Generate a 2048-bit key instead.\n");
  EXPECT_NE(r.out.find(kPass), std::string::npos);
}

}  // namespace
}  // namespace quellsig
