// Shared pieces of the verification and evaluation benchmarks: interleaved
// timing, a 2 KiB message signed by the engine with what a verifier rebuilds
// from it, the two test keys and a fake nameserver publishing them. Aborts
// (through .value()) when a fixture cannot be made: no figure could be
// trusted then. One thread.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/base64.h"
#include "engine/canonicalization.h"
#include "engine/ed25519.h"
#include "engine/message.h"
#include "engine/rsa_keygen.h"
#include "engine/signer.h"
#include "engine/tag_list.h"
#include "platform/clock.h"
#include "tests/support/fake_dns_server.h"

namespace quellsig::bench {

// Nanoseconds per call of each function: rounds of `iterations` calls run
// interleaved, so that load from other processes hits all of them alike, and
// the best round of each counts.
inline std::vector<double> nanosPerCall(int iterations,
                                        const std::vector<std::function<void()>>& fs) {
  std::vector<double> best(fs.size(), 1e300);
  for (int round = 0; round < 9; ++round) {
    for (std::size_t k = 0; k < fs.size(); ++k) {
      std::uint64_t start = platform::monotonicNanos();
      for (int i = 0; i < iterations; ++i) fs[k]();
      double per = double(platform::monotonicNanos() - start) / iterations;
      if (per < best[k]) best[k] = per;
    }
  }
  return best;
}

inline std::string twoKibMessage() {
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

// twoKibMessage signed for bench.test with selector "rsa" or "ed"; message
// and raw borrow text.
struct SignedSample {
  std::string text;
  Message message;
  std::vector<std::string> raw;
  std::string header_hash_input;
  std::vector<std::uint8_t> signature;
};

inline SignedSample signedSample(const PrivateKey& key, SignatureAlgorithm algorithm) {
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
  SignedSample f;
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

struct BenchKeys {
  PrivateKey rsa;  // 2048 bits
  PrivateKey ed;
};

inline BenchKeys benchKeys() {
  BenchKeys k;
  k.rsa = std::move(generateRsaKey(2048).value());
  std::array<std::uint8_t, 32> seed{};
  seed.fill(7);
  k.ed = std::move(ed25519KeyFromSeed(seed).value());
  return k;
}

// Serves rsa._domainkey.bench.test and (for any other name) the ed25519
// record; null when it cannot be started.
inline std::unique_ptr<testing::FakeDnsServer> startKeyServer(const std::string& address,
                                                              const BenchKeys& keys) {
  const std::string rsa_p = base64Encode(rsaPublicKeyDer(keys.rsa).value());
  const std::string ed_p = base64Encode(keys.ed.ed25519_public);
  return testing::FakeDnsServer::start(address, 0, [rsa_p, ed_p](const testing::FakeQuery& q) {
    std::string text =
        q.name.starts_with("rsa.") ? "v=DKIM1; k=rsa; p=" + rsa_p : "v=DKIM1; k=ed25519; p=" + ed_p;
    std::vector<std::string> pieces;
    for (std::size_t i = 0; i < text.size(); i += 255) pieces.push_back(text.substr(i, 255));
    return std::vector<testing::FakeDatagram>{
        {testing::buildReply(q, 0, {{q.name, kDnsTypeTxt, 3600, testing::txtRdata(pieces)}})}};
  });
}

}  // namespace quellsig::bench
