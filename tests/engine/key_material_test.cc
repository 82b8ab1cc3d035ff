#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "engine/base64.h"
#include "engine/ed25519.h"
#include "engine/key_loading.h"
#include "engine/key_verify.h"
#include "engine/rsa_keygen.h"
#include "engine/signature.h"
#include "tests/engine/test_keys.h"
#include "tests/support/temp_dir.h"

namespace quellsig {
namespace {

using testutil::TempDir;
using Status = KeyVerifyResult::Status;

// Key generation dominates these tests, so each size is made once.
const EvpPkeyPtr& rsaKey(int bits) {
  static EvpPkeyPtr k1023 = testing::makeRsaKey(1023);
  static EvpPkeyPtr k1024 = testing::makeRsaKey(1024);
  static EvpPkeyPtr k2048 = testing::makeRsaKey(2048);
  return bits == 1023 ? k1023 : bits == 1024 ? k1024 : k2048;
}

TEST(PemKeyLoadingTest, AppliesTheSizeFloorAndKeyType) {
  TempDir dir;
  struct Case {
    const char* name;
    std::string pem;
    Result<void> want;
  } cases[] = {
      {"rsa 1024", testing::pemPrivateKey(rsaKey(1024).get()), {}},
      {"rsa 2048", testing::pemPrivateKey(rsaKey(2048).get()), {}},
      {"rsa 1023", testing::pemPrivateKey(rsaKey(1023).get()), fail(Error::RsaKeyTooSmall)},
      {"ec p-256", testing::pemPrivateKey(testing::makeEcKey().get()), fail(Error::NotRsaKey)},
      {"ed25519 pem", testing::pemPrivateKey(testing::makeEd25519Pkey().get()),
       fail(Error::NotRsaKey)},
      {"encrypted rsa", testing::pemPrivateKey(rsaKey(1024).get(), "secret"),
       fail(Error::KeyParseFailed)},
      {"not pem", "hello\n", fail(Error::KeyParseFailed)},
      {"empty", "", fail(Error::KeyParseFailed)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto key = loadPemPrivateKey(dir.write(c.name, c.pem, 0600));
    ASSERT_EQ(key.has_value(), c.want.has_value())
        << (key ? "loaded" : std::string(errorName(key.error())));
    if (!key) {
      EXPECT_EQ(key.error(), c.want.error());
    } else {
      EXPECT_TRUE(key->rsa);
      EXPECT_EQ(key->kind, 0);
      EXPECT_FALSE(key->has_ed25519);
    }
  }
}

TEST(PemKeyLoadingTest, RefusesKeysReadableByGroupOrOthers) {
  TempDir dir;
  const std::string pem = testing::pemPrivateKey(rsaKey(1024).get());
  // The mode is checked before the content is read, so it wins over content
  // that would fail later.
  const std::string small = testing::pemPrivateKey(rsaKey(1023).get());
  struct Case {
    unsigned mode;
    bool ok;
    std::string content;
  } cases[] = {{0400, true, pem},   {0600, true, pem},  {0640, false, pem},
               {0604, false, pem},  {0610, false, pem}, {0640, false, "not a key\n"},
               {0660, false, small}};
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::oct << c.mode << " row " << n);
    auto key = loadPemPrivateKey(dir.write("k" + std::to_string(n++), c.content, c.mode));
    EXPECT_EQ(key.has_value(), c.ok);
    if (!c.ok) {
      ASSERT_FALSE(key.has_value());
      EXPECT_EQ(key.error(), Error::KeyFilePermissionsTooOpen);
    }
  }
}

TEST(PemKeyLoadingTest, PathErrors) {
  TempDir dir;
  EXPECT_EQ(loadPemPrivateKey(dir.file("absent")).error(), Error::FileNotFound);
  EXPECT_EQ(loadPemPrivateKey(std::string(4096, 'a')).error(), Error::PathTooLong);
  EXPECT_EQ(loadPemPrivateKey(std::string_view("a\0b", 3)).error(), Error::InvalidPath);
}

TEST(SignatureTest, RsaSignaturesVerifyWithTheirRecord) {
  PrivateKey key;
  key.rsa = testing::makeRsaKey(2048);
  const std::string p = base64Encode(testing::publicKeyDer(key.rsa.get()));
  const std::string input = "from:a@example.com\r\ndkim-signature:v=1; b=";
  auto sig = signHeaderHashInput(key, SignatureAlgorithm::RsaSha256, input);
  ASSERT_TRUE(sig.has_value());
  EXPECT_EQ(sig->size(), 256u);
  EXPECT_EQ(verifyWithKeyRecord(SignatureAlgorithm::RsaSha256, p, *sig, input, 1024).status,
            Status::Verified);
  EXPECT_EQ(verifyWithKeyRecord(SignatureAlgorithm::RsaSha256, p, *sig, input + "x", 1024).status,
            Status::NotVerified);
}

TEST(SignatureTest, WrongKeyKindsAreNamedErrors) {
  PrivateKey empty;
  EXPECT_EQ(signHeaderHashInput(empty, SignatureAlgorithm::Ed25519Sha256, "x").error(),
            Error::NotEd25519Key);
  EXPECT_EQ(signHeaderHashInput(empty, SignatureAlgorithm::RsaSha256, "x").error(),
            Error::SignInitFailed);
}

TEST(KeyVerifyTest, ReasonTexts) {
  const std::string input = "subject:hello\r\n";
  const PrivateKey rsa1024 = testing::rsaPrivateKey(rsaKey(1024).get());
  const PrivateKey rsa1023 = testing::rsaPrivateKey(rsaKey(1023).get());
  std::array<std::uint8_t, 32> seed{};
  seed.fill(7);
  const PrivateKey ed = *ed25519KeyFromSeed(seed);

  const std::vector<std::uint8_t> rsa_sig =
      *signHeaderHashInput(rsa1024, SignatureAlgorithm::RsaSha256, input);
  const std::vector<std::uint8_t> rsa1023_sig =
      *signHeaderHashInput(rsa1023, SignatureAlgorithm::RsaSha256, input);
  const std::vector<std::uint8_t> ed_sig =
      *signHeaderHashInput(ed, SignatureAlgorithm::Ed25519Sha256, input);
  std::vector<std::uint8_t> rsa_bad = rsa_sig;
  rsa_bad[10] ^= 1;
  std::vector<std::uint8_t> ed_bad = ed_sig;
  ed_bad[40] ^= 1;
  const std::vector<std::uint8_t> ed_short(ed_sig.begin(), ed_sig.end() - 1);

  const std::string p_rsa1024 = base64Encode(testing::publicKeyDer(rsa1024.rsa.get()));
  const std::string p_rsa1023 = base64Encode(testing::publicKeyDer(rsa1023.rsa.get()));
  const std::string p_ec = base64Encode(testing::publicKeyDer(testing::makeEcKey().get()));
  const std::string p_ed = base64Encode(ed.ed25519_public);
  const std::string p_ed31 = base64Encode(std::span(ed.ed25519_public).first(31));
  std::vector<std::uint8_t> ed33(ed.ed25519_public.begin(), ed.ed25519_public.end());
  ed33.push_back(0);
  const std::string p_ed33 = base64Encode(ed33);
  // Folding whitespace inside p= is part of the tag syntax.
  const std::string p_rsa_folded = p_rsa1024.substr(0, 20) + "\r\n " + p_rsa1024.substr(20);

  constexpr auto kRsa = SignatureAlgorithm::RsaSha256;
  constexpr auto kEd = SignatureAlgorithm::Ed25519Sha256;
  struct Case {
    const char* name;
    SignatureAlgorithm alg;
    std::string p;
    const std::vector<std::uint8_t>& sig;
    unsigned min_bits;
    Status status;
    std::string_view reason;
  } cases[] = {
      {"rsa good", kRsa, p_rsa1024, rsa_sig, 1024, Status::Verified, ""},
      {"rsa folded p=", kRsa, p_rsa_folded, rsa_sig, 1024, Status::Verified, ""},
      {"rsa wrong signature", kRsa, p_rsa1024, rsa_bad, 1024, Status::NotVerified, ""},
      {"rsa empty signature", kRsa, p_rsa1024, {}, 1024, Status::NotVerified, ""},
      {"rsa bad base64", kRsa, "AB$C", rsa_sig, 1024, Status::Rejected, "crypto verify error"},
      {"rsa garbage der", kRsa, base64Encode(std::vector<std::uint8_t>{1, 2, 3, 4, 5}), rsa_sig,
       1024, Status::Rejected, "unusable public key"},
      {"rsa empty p=", kRsa, "", rsa_sig, 1024, Status::Rejected, "unusable public key"},
      {"ec key in p=", kRsa, p_ec, rsa_sig, 1024, Status::Rejected, "p= is not an RSA key"},
      {"rsa 1023 below floor", kRsa, p_rsa1023, rsa1023_sig, 1024, Status::Rejected,
       "key too small"},
      {"rsa 1024 below -b 2048", kRsa, p_rsa1024, rsa_sig, 2048, Status::Rejected, "key too small"},
      {"ed good", kEd, p_ed, ed_sig, 1024, Status::Verified, ""},
      {"ed wrong signature", kEd, p_ed, ed_bad, 1024, Status::NotVerified, ""},
      {"ed other input", kEd, p_ed, rsa_sig, 1024, Status::Rejected, "crypto verify error"},
      {"ed 63-byte signature", kEd, p_ed, ed_short, 1024, Status::Rejected, "crypto verify error"},
      {"ed 31-byte key", kEd, p_ed31, ed_sig, 1024, Status::Rejected, "unusable public key"},
      {"ed 33-byte key", kEd, p_ed33, ed_sig, 1024, Status::Rejected, "unusable public key"},
      {"ed rsa key in p=", kEd, p_rsa1024, ed_sig, 1024, Status::Rejected, "unusable public key"},
      {"ed bad base64", kEd, "====", ed_sig, 1024, Status::Rejected, "crypto verify error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = verifyWithKeyRecord(c.alg, c.p, c.sig, input, c.min_bits);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.reason, c.reason);
  }
}

TEST(RsaKeygenTest, GeneratedKeysExportAndReload) {
  auto key = generateRsaKey(1024);
  ASSERT_TRUE(key.has_value());
  auto der = rsaPublicKeyDer(*key);
  ASSERT_TRUE(der.has_value());
  EXPECT_EQ(*der, testing::publicKeyDer(key->rsa.get()));
  EXPECT_EQ(generateRsaKey(-5).error(), Error::KeygenFailed);
  EXPECT_EQ(rsaPublicKeyDer(PrivateKey{}).error(), Error::PubkeyExportFailed);
}

}  // namespace
}  // namespace quellsig
