#include "engine/public_key_cache.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/base64.h"
#include "engine/ed25519.h"
#include "engine/key_loading.h"
#include "engine/signature.h"
#include "tests/engine/test_keys.h"

namespace quellsig {
namespace {

std::vector<std::uint8_t> hex(std::string_view h) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < h.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(h.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

// L, the order of the Ed25519 group, little endian.
const std::string kOrderL = "edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010";
const std::string kIdentity = "0100000000000000000000000000000000000000000000000000000000000000";
const std::string kOrder8 = "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a";
const std::string kYEqualsP = "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f";

using Status = KeyVerifyResult::Status;

struct Case {
  std::string name;
  SignatureAlgorithm algorithm;
  std::string p;
  std::vector<std::uint8_t> signature;
  std::string input;
  Status status;            // the outcome both paths must give
  std::string_view reason;  // when Rejected
  unsigned min_bits = 1024;
};

// Every row is checked twice against its expected outcome and the uncached
// primitive: on a miss and on a hit.
TEST(PublicKeyCacheTest, GivesTheUncachedResultForEveryKindOfInput) {
  std::array<std::uint8_t, 32> seed{};
  seed.fill(42);
  PrivateKey ed = std::move(ed25519KeyFromSeed(seed).value());
  const std::string ed_p = base64Encode(ed.ed25519_public);
  const std::string input = "header hash input";
  std::vector<std::uint8_t> ed_sig =
      signHeaderHashInput(ed, SignatureAlgorithm::Ed25519Sha256, input).value();
  auto with = [&](std::size_t at, const std::string& bytes) {
    std::vector<std::uint8_t> s = ed_sig;
    std::vector<std::uint8_t> b = hex(bytes);
    std::copy(b.begin(), b.end(), s.begin() + static_cast<long>(at));
    return s;
  };
  std::vector<std::uint8_t> s_plus_l = ed_sig;
  {
    unsigned carry = 0;
    std::vector<std::uint8_t> l = hex(kOrderL);
    for (std::size_t i = 0; i < 32; ++i) {
      unsigned v = s_plus_l[32 + i] + l[i] + carry;
      s_plus_l[32 + i] = static_cast<std::uint8_t>(v);
      carry = v >> 8;
    }
  }

  // R the identity and S = 0.
  const std::vector<std::uint8_t> forged = with(0, kIdentity + std::string(64, '0'));

  EvpPkeyPtr rsa_pkey = testing::makeRsaKey(1024);
  PrivateKey rsa = testing::rsaPrivateKey(rsa_pkey.get());
  const std::string rsa_p = base64Encode(testing::publicKeyDer(rsa_pkey.get()));
  std::vector<std::uint8_t> rsa_sig =
      signHeaderHashInput(rsa, SignatureAlgorithm::RsaSha256, input).value();
  const std::string ec_p = base64Encode(testing::publicKeyDer(testing::makeEcKey().get()));

  const auto E = SignatureAlgorithm::Ed25519Sha256;
  const auto R = SignatureAlgorithm::RsaSha256;
  constexpr auto kYes = Status::Verified;
  constexpr auto kNo = Status::NotVerified;
  constexpr auto kRej = Status::Rejected;
  const Case cases[] = {
      {"ed25519 valid", E, ed_p, ed_sig, input, kYes, {}},
      {"ed25519 other input", E, ed_p, ed_sig, input + ".", kNo, {}},
      // Every Ed25519 rejection is "not verified", never an error.
      {"S equal to L", E, ed_p, with(32, kOrderL), input, kNo, {}},
      {"S plus L", E, ed_p, s_plus_l, input, kNo, {}},
      {"R the identity", E, ed_p, with(0, kIdentity), input, kNo, {}},
      {"R of order 8", E, ed_p, with(0, kOrder8), input, kNo, {}},
      {"R not canonical", E, ed_p, with(0, kYEqualsP), input, kNo, {}},
      {"A the identity", E, base64Encode(hex(kIdentity)), ed_sig, input, kNo, {}},
      {"A of order 8", E, base64Encode(hex(kOrder8)), ed_sig, input, kNo, {}},
      {"A not canonical", E, base64Encode(hex(kYEqualsP)), ed_sig, input, kNo, {}},
      // [0]B = R + [k]A holds for every message when A and R are the
      // identity: only the point checks refuse this forgery.
      {"identity forgery", E, base64Encode(hex(kIdentity)), forged, input, kNo, {}},
      {"signature of 63 bytes", E, ed_p,
       std::vector<std::uint8_t>(ed_sig.begin(), ed_sig.end() - 1), input, kRej,
       "crypto verify error"},
      {"key of 31 bytes", E, base64Encode(std::span(ed.ed25519_public).first(31)), ed_sig, input,
       kRej, "unusable public key"},
      {"ed25519 p= not base64", E, "!!!!", ed_sig, input, kRej, "crypto verify error"},
      {"rsa valid", R, rsa_p, rsa_sig, input, kYes, {}},
      {"rsa other input", R, rsa_p, rsa_sig, input + ".", kNo, {}},
      {"rsa under the floor", R, rsa_p, rsa_sig, input, kRej, "key too small", 2048},
      {"rsa p= an EC key", R, ec_p, rsa_sig, input, kRej, "p= is not an RSA key"},
      {"rsa p= garbage", R, "AAAA", rsa_sig, input, kRej, "unusable public key"},
      {"rsa p= not base64", R, "!!!!", rsa_sig, input, kRej, "crypto verify error"},
  };
  PublicKeyCache cache;
  for (int pass = 0; pass < 2; ++pass) {
    for (const Case& tc : cases) {
      SCOPED_TRACE(tc.name + (pass ? " (hit)" : " (miss)"));
      KeyVerifyResult want =
          verifyWithKeyRecord(tc.algorithm, tc.p, tc.signature, tc.input, tc.min_bits);
      KeyVerifyResult got = cache.verify(tc.algorithm, tc.p, tc.signature, tc.input, tc.min_bits);
      EXPECT_EQ(got.status, want.status);
      EXPECT_EQ(got.reason, want.reason);
      EXPECT_EQ(got.status, tc.status);
      EXPECT_EQ(got.reason, tc.reason);
    }
  }
  EXPECT_EQ(verifyWithKeyRecord(E, ed_p, ed_sig, input, 0).status,
            KeyVerifyResult::Status::Verified);
  EXPECT_EQ(cache.verify(E, base64Encode(hex(kIdentity)), forged, input, 0).status,
            KeyVerifyResult::Status::NotVerified);
}

}  // namespace
}  // namespace quellsig
