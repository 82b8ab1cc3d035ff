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

#include "bench/bench_support.h"
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

namespace {

using namespace quellsig;
using bench::SignedSample;

VerificationRequest requestFor(const SignedSample& f) {
  VerificationRequest r;
  r.signature_value = f.message.headers[0].value;
  r.signature_field = f.raw[0];
  r.raw_headers = f.raw;
  r.body = f.message.body;
  return r;
}

}  // namespace

int main() {
  bench::BenchKeys bench_keys = bench::benchKeys();
  const PrivateKey& rsa = bench_keys.rsa;
  const PrivateKey& ed = bench_keys.ed;
  auto server = bench::startKeyServer("127.0.0.55", bench_keys);
  if (!server) {
    std::fprintf(stderr, "cannot start the fake nameserver\n");
    return 1;
  }
  auto lookup = makeToolKeyLookup(server->address(), server->port()).value();

  SignedSample rsa_f = bench::signedSample(rsa, SignatureAlgorithm::RsaSha256);
  SignedSample ed_f = bench::signedSample(ed, SignatureAlgorithm::Ed25519Sha256);
  PublicKeyCache keys;
  for (const SignedSample* f : {&rsa_f, &ed_f}) {
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
      bench::nanosPerCall(500, {rsa_bare_f, rsa_cached_f, rsa_uncached_f, ed_bare_f, ed_cached_f});
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
