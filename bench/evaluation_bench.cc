// The end-of-message evaluation of a 2 KiB message on a filled connection
// record, against the bare primitive over the same header hash input in the
// same run:
//   sign mode, one 2048-bit RSA key: bare EVP_DigestSign; goal 0.90;
//   verify mode, one rsa-sha256 signature, key record in the answer cache:
//     bare EVP_DigestVerify with a decoded key; goal 0.65;
//   verify mode, one ed25519-sha256 signature: libsodium's verify of
//     SHA-256(input); goal 0.80.
// The ratio is baseline time / evaluation time (1.0 means no overhead). Each
// evaluation queues its header changes, which are dropped before the next.
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <sodium.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "config/runtime_settings.h"
#include "config/signing_config.h"
#include "dns/resolver_key_lookup.h"
#include "engine/message.h"
#include "engine/public_key_cache.h"
#include "engine/rsa_keygen.h"
#include "milter/connection.h"
#include "milter/evaluation.h"
#include "milter/result_sink.h"
#include "platform/exclusive_file.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace quellsig;

class NullSink final : public ResultSink {
 public:
  void publish(const ResultRecord&) noexcept override {}
};

// A connection record holding `text` as the MTA would have handed it over.
std::unique_ptr<MilterConnection> filledConnection(const RuntimeSettings& settings,
                                                   const std::string& text) {
  auto c = std::move(createConnection(platform::UniqueFd(), 0, settings, "bench").value());
  applyNegotiation(*c, kActionsWanted, 0);
  applySender(*c, "<alice@bench.test>");
  Message m = parseMessage(text).value();
  for (const HeaderField& f : m.headers) {
    std::string value;
    for (char ch : f.value) {
      if (ch != '\r') value += ch;
    }
    accumulateHeader(*c, f.name, value);
  }
  accumulateBody(*c, {reinterpret_cast<const std::uint8_t*>(m.body.data()), m.body.size()});
  return c;
}

}  // namespace

int main() {
  LogSettings quiet;
  quiet.level = 3;  // the per-message info record is not formatted
  configureLogging(quiet);

  bench::BenchKeys bench_keys = bench::benchKeys();
  const PrivateKey& rsa = bench_keys.rsa;
  const PrivateKey& ed = bench_keys.ed;
  auto server = bench::startKeyServer("127.0.0.56", bench_keys);
  if (!server) {
    std::fprintf(stderr, "cannot start the fake nameserver\n");
    return 1;
  }
  auto lookup = makeToolKeyLookup(server->address(), server->port()).value();
  PublicKeyCache keys;
  NullSink sink;

  RuntimeSettings verify_settings = defaultRuntimeSettings();
  verify_settings.listener_modes = {ListenerMode::Verify};
  RuntimeSettings sign_settings = verify_settings;
  sign_settings.listener_modes = {ListenerMode::Sign};

  // Sign mode, with the key loaded through a KeyTable as the daemon loads it.
  const testutil::TempDir dir("evalbench");
  {
    auto fd = platform::createExclusiveFile(dir.file("rsa.pem"), 0600).value();
    writeRsaPrivateKeyPem(rsa, fd.get()).value();
  }
  const std::string signing_table = dir.write("SigningTable", "*@bench.test k1\n");
  const std::string key_table =
      dir.write("KeyTable", "k1 bench.test:rsa:" + dir.file("rsa.pem") + "\n");
  SigningSources sources;
  sources.signing_table = signing_table;
  sources.key_table = key_table;
  auto signing = std::move(loadSigningConfig(sources).value());
  const std::string plain = bench::twoKibMessage();
  auto sign_c = filledConnection(sign_settings, plain);
  const EvaluationServices sign_services{sign_settings, *lookup, &keys, sink, signing.get()};
  volatile int out = 0;
  auto sign_ours = [&] {
    if (evaluateMessage(*sign_c, sign_services) != kReplyAccept) std::abort();
    sign_c->reply_queue.bytes.clear();
  };
  const bench::SignedSample sign_input = bench::signedSample(rsa, SignatureAlgorithm::RsaSha256);
  auto sign_bare = [&] {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    unsigned char sig[512];
    std::size_t len = sizeof sig;
    if (EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, rsa.rsa.get()) != 1 ||
        EVP_DigestSignUpdate(ctx, sign_input.header_hash_input.data(),
                             sign_input.header_hash_input.size()) != 1 ||
        EVP_DigestSignFinal(ctx, sig, &len) != 1) {
      std::abort();
    }
    EVP_MD_CTX_free(ctx);
    out = out + static_cast<int>(len);
  };

  // Verify mode.
  const bench::SignedSample rsa_s = bench::signedSample(rsa, SignatureAlgorithm::RsaSha256);
  const bench::SignedSample ed_s = bench::signedSample(ed, SignatureAlgorithm::Ed25519Sha256);
  auto rsa_c = filledConnection(verify_settings, rsa_s.text);
  auto ed_c = filledConnection(verify_settings, ed_s.text);
  const EvaluationServices services{verify_settings, *lookup, &keys, sink, nullptr};
  auto evaluate = [&](MilterConnection& c) {
    out = out + evaluateMessage(c, services);
    c.reply_queue.bytes.clear();
  };
  evaluate(*rsa_c);  // the key records into the answer cache
  evaluate(*ed_c);
  EVP_PKEY* pub = nullptr;
  {
    auto der = rsaPublicKeyDer(rsa).value();
    const unsigned char* p = der.data();
    pub = d2i_PUBKEY(nullptr, &p, long(der.size()));
  }
  auto rsa_bare = [&] {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, pub);
    out = out + EVP_DigestVerify(
                    ctx, rsa_s.signature.data(), rsa_s.signature.size(),
                    reinterpret_cast<const unsigned char*>(rsa_s.header_hash_input.data()),
                    rsa_s.header_hash_input.size());
    EVP_MD_CTX_free(ctx);
  };
  auto ed_bare = [&] {
    unsigned char digest[32];
    crypto_hash_sha256(digest,
                       reinterpret_cast<const unsigned char*>(ed_s.header_hash_input.data()),
                       ed_s.header_hash_input.size());
    out = out + crypto_sign_verify_detached(ed_s.signature.data(), digest, 32,
                                            ed.ed25519_public.data());
  };

  std::vector<double> t = bench::nanosPerCall(
      200, {sign_bare, sign_ours, rsa_bare, [&] { evaluate(*rsa_c); }, ed_bare,
            [&] { evaluate(*ed_c); }});
  EVP_PKEY_free(pub);
  std::printf("message: %zu bytes\n", plain.size());
  std::printf("sign mode, rsa-sha256 2048   bare %8.1f us  evaluation %8.1f us  ratio %.2f "
              "(goal >= 0.90)\n",
              t[0] / 1e3, t[1] / 1e3, t[0] / t[1]);
  std::printf("verify mode, rsa-sha256      bare %8.1f us  evaluation %8.1f us  ratio %.2f "
              "(goal >= 0.65)\n",
              t[2] / 1e3, t[3] / 1e3, t[2] / t[3]);
  std::printf("verify mode, ed25519-sha256  bare %8.1f us  evaluation %8.1f us  ratio %.2f "
              "(goal >= 0.80)\n",
              t[4] / 1e3, t[5] / 1e3, t[4] / t[5]);
  return 0;
}
