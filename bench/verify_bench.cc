// Verification of one signature of a 2 KiB message with its key record in the
// resolver's answer cache, against the bare primitive over the same header
// hash input in the same run:
//   rsa-sha256: EVP_DigestVerify with an already decoded 2048-bit key; goal 0.7;
//   ed25519-sha256: libsodium's verify of SHA-256(input); goal 0.85.
// The ratio is baseline time / verifier time (1.0 means no overhead). The
// verifier is also timed without the decoded-key cache, to show what it buys.
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <sodium.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "dns/resolver_key_lookup.h"
#include "engine/base64.h"
#include "engine/canonicalization.h"
#include "engine/ed25519.h"
#include "engine/key_loading.h"
#include "engine/message.h"
#include "engine/public_key_cache.h"
#include "engine/rsa_keygen.h"
#include "engine/signer.h"
#include "engine/tag_list.h"
#include "engine/verifier.h"
#include "platform/clock.h"
#include "tests/support/fake_dns_server.h"

namespace {

using namespace quellsig;

// Nanoseconds per call of each function: rounds of `iterations` calls run
// interleaved, so that load from other processes hits all of them alike, and
// the best round of each counts.
std::vector<double> nanosPerCall(int iterations, const std::vector<std::function<void()>>& fs) {
  std::vector<double> best(fs.size(), 1e300);
  for (int round = 0; round < 9; ++round) {
    for (std::size_t k = 0; k < fs.size(); ++k) {
      std::uint64_t start = platform::wallClockNanos();
      for (int i = 0; i < iterations; ++i) fs[k]();
      double per = double(platform::wallClockNanos() - start) / iterations;
      if (per < best[k]) best[k] = per;
    }
  }
  return best;
}

std::string twoKibMessage() {
  std::string text =
      "From: Alice <alice@bench.test>\r\n"
      "To: Bob <bob@example.net>\r\n"
      "Subject: Quarterly figures\r\n"
      "Date: Thu, 10 Dec 2026 12:00:00 +0000\r\n"
      "Message-ID: <bench@bench.test>\r\n"
      "\r\n";
  while (text.size() < 2048) text += "The figures for the quarter are attached as agreed.  \r\n";
  return text;
}

struct Fixture {
  std::string text;
  Message message;
  std::vector<std::string> raw;
  std::string header_hash_input;
  std::vector<std::uint8_t> signature;
};

Fixture signedFixture(const PrivateKey& key, SignatureAlgorithm algorithm) {
  std::string plain = twoKibMessage();
  Message m = parseMessage(plain).value();
  std::vector<std::string> raw = buildRawHeaderList(m).value();
  SigningRequest req;
  req.domain = "bench.test";
  req.selector = algorithm == SignatureAlgorithm::RsaSha256 ? "rsa" : "ed";
  req.key = &key;
  req.algorithm = algorithm;
  std::string field =
      signMessage(m, raw, req, signingBodyHash(m.body, req.body_canonicalization).value()).value();
  Fixture f;
  f.text = field + "\r\n" + plain;
  f.message = parseMessage(f.text).value();
  f.raw = buildRawHeaderList(f.message).value();
  SignatureFields fields = extractSignatureFields(f.message.headers[0].value).value();
  auto selected = selectSignedHeaders(fields.signed_headers, f.raw).value();
  f.header_hash_input = buildHeaderHashInput(selected, removeSignatureValue(f.raw[0]).value(),
                                             fields.header_canonicalization)
                            .value();
  f.signature = decodeBase64Tag(fields.signature).value();
  return f;
}

VerificationRequest requestFor(const Fixture& f) {
  VerificationRequest r;
  r.signature_value = f.message.headers[0].value;
  r.signature_field = f.raw[0];
  r.raw_headers = f.raw;
  r.body = f.message.body;
  return r;
}

}  // namespace

int main() {
  PrivateKey rsa = std::move(generateRsaKey(2048).value());
  std::array<std::uint8_t, 32> seed{};
  seed.fill(7);
  PrivateKey ed = std::move(ed25519KeyFromSeed(seed).value());
  const std::string rsa_p = base64Encode(rsaPublicKeyDer(rsa).value());
  const std::string ed_p = base64Encode(ed.ed25519_public);

  auto server = testing::FakeDnsServer::start("127.0.0.55", 0, [&](const testing::FakeQuery& q) {
    std::string text =
        q.name.starts_with("rsa.") ? "v=DKIM1; k=rsa; p=" + rsa_p : "v=DKIM1; k=ed25519; p=" + ed_p;
    std::vector<std::string> pieces;
    for (std::size_t i = 0; i < text.size(); i += 255) pieces.push_back(text.substr(i, 255));
    return std::vector<testing::FakeDatagram>{
        {testing::buildReply(q, 0, {{q.name, kDnsTypeTxt, 3600, testing::txtRdata(pieces)}})}};
  });
  if (!server) {
    std::fprintf(stderr, "cannot start the fake nameserver\n");
    return 1;
  }
  auto lookup = makeToolKeyLookup(server->address(), server->port()).value();

  Fixture rsa_f = signedFixture(rsa, SignatureAlgorithm::RsaSha256);
  Fixture ed_f = signedFixture(ed, SignatureAlgorithm::Ed25519Sha256);
  PublicKeyCache keys;
  for (const Fixture* f : {&rsa_f, &ed_f}) {
    if (verifySignature(requestFor(*f), *lookup, &keys).result != DkimResult::Pass) {
      std::fprintf(stderr, "fixture does not verify\n");
      return 1;
    }
  }

  // Baselines: the bare primitives with everything prepared.
  EVP_PKEY* pub = nullptr;
  {
    auto der = rsaPublicKeyDer(rsa).value();
    const unsigned char* p = der.data();
    pub = d2i_PUBKEY(nullptr, &p, long(der.size()));
  }
  volatile int sink = 0;
  auto rsa_bare_f = [&] {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, pub);
    sink = sink +
           EVP_DigestVerify(ctx, rsa_f.signature.data(), rsa_f.signature.size(),
                            reinterpret_cast<const unsigned char*>(rsa_f.header_hash_input.data()),
                            rsa_f.header_hash_input.size());
    EVP_MD_CTX_free(ctx);
  };
  auto ed_bare_f = [&] {
    unsigned char digest[32];
    crypto_hash_sha256(digest,
                       reinterpret_cast<const unsigned char*>(ed_f.header_hash_input.data()),
                       ed_f.header_hash_input.size());
    sink = sink +
           crypto_sign_verify_detached(ed_f.signature.data(), digest, 32, ed.ed25519_public.data());
  };
  VerificationRequest rsa_req = requestFor(rsa_f), ed_req = requestFor(ed_f);
  auto rsa_cached_f = [&] { sink = sink + int(verifySignature(rsa_req, *lookup, &keys).result); };
  auto rsa_uncached_f = [&] { sink = sink + int(verifySignature(rsa_req, *lookup).result); };
  auto ed_cached_f = [&] { sink = sink + int(verifySignature(ed_req, *lookup, &keys).result); };
  std::vector<double> t =
      nanosPerCall(500, {rsa_bare_f, rsa_cached_f, rsa_uncached_f, ed_bare_f, ed_cached_f});
  EVP_PKEY_free(pub);
  double rsa_bare = t[0], rsa_cached = t[1], rsa_uncached = t[2], ed_bare = t[3], ed_cached = t[4];

  std::printf("rsa-sha256     bare %8.1f us  verifier %8.1f us  ratio %.2f (goal >= 0.70)\n",
              rsa_bare / 1e3, rsa_cached / 1e3, rsa_bare / rsa_cached);
  std::printf("  without the decoded-key cache: verifier %8.1f us  ratio %.2f\n",
              rsa_uncached / 1e3, rsa_bare / rsa_uncached);
  std::printf("ed25519-sha256 bare %8.1f us  verifier %8.1f us  ratio %.2f (goal >= 0.85)\n",
              ed_bare / 1e3, ed_cached / 1e3, ed_bare / ed_cached);
  return 0;
}
