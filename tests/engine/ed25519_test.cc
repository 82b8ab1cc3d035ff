#include "engine/ed25519.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <array>
#include <string>
#include <vector>

#include "engine/key_loading.h"
#include "engine/signature.h"

namespace quellsig {
namespace {

std::vector<std::uint8_t> hex(std::string_view s) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < s.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(s.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

template <std::size_t N>
std::array<std::uint8_t, N> hexArray(std::string_view s) {
  auto v = hex(s);
  std::array<std::uint8_t, N> a{};
  EXPECT_EQ(v.size(), N);
  std::copy_n(v.begin(), std::min(N, v.size()), a.begin());
  return a;
}

// RFC 8032 section 7.1, tests 1 to 3.
struct Vector {
  const char* name;
  const char* secret;
  const char* public_key;
  const char* message;
  const char* signature;
};
const Vector kRfc8032[] = {
    {"test 1", "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e3970"
     "1cf9b46bd25bf5f0595bbe24655141438e7a100b"},
    {"test 2", "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613"
     "d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"},
    {"test 3", "c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760"
     "984dc6594a7c15e9716ed28dc027beceea1ec40a"},
};

TEST(Ed25519Test, Rfc8032KnownAnswers) {
  for (const auto& v : kRfc8032) {
    SCOPED_TRACE(v.name);
    auto key = ed25519KeyFromSeed(hexArray<32>(v.secret));
    ASSERT_TRUE(key.has_value());
    EXPECT_TRUE(key->has_ed25519);
    EXPECT_EQ(key->ed25519_public, hexArray<32>(v.public_key));
    EXPECT_TRUE(std::equal(key->ed25519_secret.begin(), key->ed25519_secret.begin() + 32,
                           hexArray<32>(v.secret).begin()));
    const auto message = hex(v.message);
    auto sig = ed25519Sign(*key, message);
    ASSERT_TRUE(sig.has_value());
    EXPECT_EQ(*sig, hexArray<64>(v.signature));
    auto ok = ed25519Verify(key->ed25519_public, message, *sig);
    ASSERT_TRUE(ok.has_value());
    EXPECT_TRUE(*ok);
  }
}

// An independent implementation (libcrypto's) must produce the same bytes for
// RFC 8463: Ed25519 over the SHA-256 digest of the header hash input.
TEST(Ed25519Test, HeaderHashInputSignatureMatchesIndependentImplementation) {
  std::array<std::uint8_t, 32> seed{};
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(i * 7 + 3);
  auto key = ed25519KeyFromSeed(seed);
  ASSERT_TRUE(key.has_value());
  const std::string input =
      "from:Joe <joe@example.com>\r\ndkim-signature:v=1; a=ed25519-sha256; b=";

  auto ours = signHeaderHashInput(*key, SignatureAlgorithm::Ed25519Sha256, input);
  ASSERT_TRUE(ours.has_value());
  auto again = signHeaderHashInput(*key, SignatureAlgorithm::Ed25519Sha256, input);
  EXPECT_EQ(*ours, *again) << "Ed25519 signatures are deterministic";

  std::array<unsigned char, 32> digest;
  SHA256(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest.data());
  EVP_PKEY* pk = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), 32);
  ASSERT_NE(pk, nullptr);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  std::array<unsigned char, 64> theirs{};
  std::size_t len = theirs.size();
  ASSERT_EQ(EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, pk), 1);
  ASSERT_EQ(EVP_DigestSign(ctx, theirs.data(), &len, digest.data(), digest.size()), 1);
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(pk);
  EXPECT_EQ(std::vector<std::uint8_t>(theirs.begin(), theirs.end()), *ours);
}

TEST(Ed25519Test, SigningChecksTheKeyPair) {
  auto key = ed25519KeyFromSeed(hexArray<32>(kRfc8032[0].secret));
  ASSERT_TRUE(key.has_value());
  key->ed25519_public[0] ^= 1;
  EXPECT_EQ(signHeaderHashInput(*key, SignatureAlgorithm::Ed25519Sha256, "x").error(),
            Error::KeyMismatch);
}

TEST(Ed25519Test, DerivationNeverYieldsTheIdentity) {
  // Clamping makes the scalar a non-zero multiple of 8 below L, so no seed
  // reaches the identity; the all-zero and all-one seeds are the extremes.
  for (std::uint8_t fill : {0x00, 0xff}) {
    std::array<std::uint8_t, 32> seed;
    seed.fill(fill);
    auto key = ed25519KeyFromSeed(seed);
    ASSERT_TRUE(key.has_value());
    EXPECT_TRUE(ed25519CheckPoint(key->ed25519_public).has_value());
  }
}

TEST(Ed25519Test, PointChecks) {
  const auto base =
      hexArray<32>("5866666666666666666666666666666666666666666666666666666666666666");
  struct Case {
    const char* name;
    std::array<std::uint8_t, 32> point;
    Result<void> want;
  } cases[] = {
      {"base point", base, {}},
      {"identity", hexArray<32>("0100000000000000000000000000000000000000000000000000000000000000"),
       fail(Error::IdentityElement)},
      {"identity, sign bit set",
       hexArray<32>("0100000000000000000000000000000000000000000000000000000000000080"),
       fail(Error::IdentityElement)},
      {"identity as p+1",
       hexArray<32>("eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"),
       fail(Error::NonCanonical)},
      {"y = p", hexArray<32>("edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"),
       fail(Error::NonCanonical)},
      {"order 2 (y = -1)",
       hexArray<32>("ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"),
       fail(Error::WeakPublicKey)},
      {"order 4 (y = 0)",
       hexArray<32>("0000000000000000000000000000000000000000000000000000000000000000"),
       fail(Error::WeakPublicKey)},
      {"order 8", hexArray<32>("26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05"),
       fail(Error::WeakPublicKey)},
      {"not on the curve (y = 2)",
       hexArray<32>("0200000000000000000000000000000000000000000000000000000000000000"),
       fail(Error::NonCanonical)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = ed25519CheckPoint(c.point);
    ASSERT_EQ(r.has_value(), c.want.has_value());
    if (!r) {
      EXPECT_EQ(r.error(), c.want.error());
    }
  }
}

// Adds L to the little-endian scalar S of a signature: the same point
// equation holds, so only the explicit S < L rule refuses it.
void addGroupOrder(std::span<std::uint8_t, 32> s) {
  const auto order =
      hexArray<32>("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
  unsigned carry = 0;
  for (std::size_t i = 0; i < 32; ++i) {
    unsigned v = s[i] + order[i] + carry;
    s[i] = static_cast<std::uint8_t>(v);
    carry = v >> 8;
  }
}

TEST(Ed25519Test, StrictVerificationRefusesMalleableAndWeakSignatures) {
  const Vector& v = kRfc8032[1];
  const auto pub = hexArray<32>(v.public_key);
  const auto message = hex(v.message);
  const auto good = hexArray<64>(v.signature);

  auto high_s = good;
  addGroupOrder(std::span<std::uint8_t, 32>(high_s.data() + 32, 32));
  auto bad_r = good;
  std::copy_n(
      hexArray<32>("ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f").begin(), 32,
      bad_r.begin());
  auto non_canonical_r = good;
  non_canonical_r[31] |= 0x7f;
  std::fill(non_canonical_r.begin() + 1, non_canonical_r.begin() + 31, 0xff);
  non_canonical_r[0] = 0xee;
  auto wrong = good;
  wrong[5] ^= 0x20;

  // With A and R the identity and S = 0, [S]B = R + [k]A holds for every
  // message: the classic forgery a lax verifier accepts.
  std::array<std::uint8_t, 32> identity{1};
  std::array<std::uint8_t, 64> forged{};
  forged[0] = 1;

  struct Case {
    const char* name;
    std::array<std::uint8_t, 32> key;
    std::array<std::uint8_t, 64> sig;
    Result<bool> want;
  } cases[] = {
      {"valid", pub, good, true},
      {"wrong signature", pub, wrong, false},
      {"S + L", pub, high_s, fail(Error::NonCanonical)},
      {"R of small order", pub, bad_r, fail(Error::WeakPublicKey)},
      {"R not canonical", pub, non_canonical_r, fail(Error::NonCanonical)},
      {"identity forgery", identity, forged, fail(Error::IdentityElement)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = ed25519Verify(c.key, message, c.sig);
    ASSERT_EQ(r.has_value(), c.want.has_value());
    if (r) {
      EXPECT_EQ(*r, *c.want);
    } else {
      EXPECT_EQ(r.error(), c.want.error());
    }
  }
}

}  // namespace
}  // namespace quellsig
