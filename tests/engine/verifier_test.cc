#include "engine/verifier.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "dns/message.h"
#include "dns/resolver.h"
#include "dns/resolver_key_lookup.h"
#include "engine/base64.h"
#include "engine/ed25519.h"
#include "engine/key_loading.h"
#include "engine/message.h"
#include "engine/public_key_cache.h"
#include "engine/signer.h"
#include "tests/engine/test_keys.h"
#include "tests/support/fake_dns_server.h"

namespace quellsig {
namespace {

using testing::makeEcKey;
using testing::makeRsaKey;
using testing::publicKeyDer;
using testing::rsaPrivateKey;

constexpr auto S = Canonicalization::Simple;
constexpr auto R = Canonicalization::Relaxed;
constexpr std::string_view kName = "sel._domainkey.example.com";

const char kMessage[] =
    "From: Alice <alice@example.com>\r\n"
    "To: Bob <bob@example.net>\r\n"
    "Subject: Lunch\r\n"
    "Date: Thu, 10 Dec 2026 12:00:00 +0000\r\n"
    "\r\n"
    "See you there.\r\n";

// Serves fixed answers per name and counts the lookups.
class FakeLookup : public KeyLookup {
 public:
  std::map<std::string, Result<std::vector<KeyAnswer>>, std::less<>> answers;
  int calls = 0;

  Result<std::vector<KeyAnswer>> lookupKeyRecords(std::string_view name) override {
    ++calls;
    auto it = answers.find(name);
    if (it == answers.end()) return fail(Error::DnsNameError);
    return it->second;
  }
};

struct Keys {
  PrivateKey rsa, other_rsa, small_rsa, ed;
  std::string rsa_p, other_p, small_p, ec_p, ed_p;
};

const Keys& keys() {
  static const Keys* k = [] {
    auto* k = new Keys;
    EvpPkeyPtr a = makeRsaKey(2048), b = makeRsaKey(1024), c = makeRsaKey(512);
    k->rsa_p = base64Encode(publicKeyDer(a.get()));
    k->other_p = base64Encode(publicKeyDer(b.get()));
    k->small_p = base64Encode(publicKeyDer(c.get()));
    k->ec_p = base64Encode(publicKeyDer(makeEcKey().get()));
    k->rsa = rsaPrivateKey(a.get());
    k->other_rsa = rsaPrivateKey(b.get());
    k->small_rsa = rsaPrivateKey(c.get());
    std::array<std::uint8_t, 32> seed{};
    for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(i * 5 + 9);
    k->ed = std::move(ed25519KeyFromSeed(seed).value());
    k->ed_p = base64Encode(k->ed.ed25519_public);
    return k;
  }();
  return *k;
}

struct SignOptions {
  SignatureAlgorithm algorithm = SignatureAlgorithm::RsaSha256;
  Canonicalization header = R, body = R;
  bool body_length = false;
  const PrivateKey* key = nullptr;  // default: the 2048-bit key or the Ed25519 key
};

// The message with a DKIM-Signature made by our signer on top.
std::string signedMessage(const SignOptions& o, const std::string& text = kMessage) {
  Message m = parseMessage(text).value();
  std::vector<std::string> raw = buildRawHeaderList(m).value();
  SigningRequest req;
  req.domain = "example.com";
  req.selector = "sel";
  req.key =
      o.key ? o.key : (o.algorithm == SignatureAlgorithm::RsaSha256 ? &keys().rsa : &keys().ed);
  req.algorithm = o.algorithm;
  req.header_canonicalization = o.header;
  req.body_canonicalization = o.body;
  req.signed_headers = "from:to:subject";
  req.include_body_length = o.body_length;
  BodyHash bh = signingBodyHash(m.body, o.body).value();
  std::string field = signMessage(m, raw, req, bh).value();
  return field + "\r\n" + text;
}

// Replaces the first occurrence of `from` (which must exist) in the text.
std::string replaced(std::string text, std::string_view from, std::string_view to) {
  std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// The base64 body hash of kMessage, cut to `bytes` bytes.
std::string bodyHashOfMessage(Canonicalization mode, std::size_t bytes = 32) {
  Message m = parseMessage(kMessage).value();
  BodyHash bh = bodyHash(m.body, mode).value();
  return base64Encode(std::span<const std::uint8_t>(bh.digest.data(), bytes));
}

// The signed message with its b= value (the signer writes it last) replaced.
std::string withSignature(const std::string& signed_text, const std::string& b) {
  std::size_t at = signed_text.find(" b=");
  std::size_t end = signed_text.find("\r\n", at);
  while (signed_text[end + 2] == '\t') end = signed_text.find("\r\n", end + 2);
  return signed_text.substr(0, at + 3) + b + signed_text.substr(end);
}

// A DKIM-Signature value with the given tags and no real signature.
std::string handMade(std::string_view value) {
  return "DKIM-Signature: " + std::string(value) + "\r\n" + kMessage;
}

struct Verified {
  std::string text;
  Message message;
  std::vector<std::string> raw;
  VerificationOutcome outcome;
};

struct Settings {
  bool refuse_l = false;
  std::uint8_t max_records = 3;
  std::uint32_t min_bits = 1024;
};

std::unique_ptr<Verified> verifyText(std::string text, KeyLookup& lookup, const Settings& s = {},
                                     PublicKeyCache* cache = nullptr) {
  auto v = std::make_unique<Verified>();
  v->text = std::move(text);
  v->message = parseMessage(v->text).value();
  v->raw = buildRawHeaderList(v->message).value();
  VerificationRequest req;
  req.signature_value = v->message.headers[0].value;
  req.signature_field = v->raw[0];
  req.raw_headers = v->raw;
  req.body = v->message.body;
  req.minimum_key_bits = s.min_bits;
  req.refuse_body_length = s.refuse_l;
  req.max_key_records = s.max_records;
  v->outcome = verifySignature(req, lookup, cache);
  return v;
}

KeyAnswer txt(std::string data) { return {16, std::move(data)}; }
std::vector<KeyAnswer> record(std::string data) { return {txt(std::move(data))}; }

struct Case {
  std::string name;
  std::string message;
  Result<std::vector<KeyAnswer>> answers;
  DkimResult want;
  std::string_view reason;  // empty for a pass
  Settings settings = {};
  bool testing = false;
  std::uint64_t unsigned_octets = 0;
  bool has_identity = true;  // domain and selector reported
  int lookups = 1;
};

// Every reason of the result table, with messages made by our signer; the
// answers are served both from memory and by a nameserver through the resolver.
std::vector<Case> tableCases() {
  const Keys& k = keys();
  const std::string rsa = "v=DKIM1; k=rsa; p=" + k.rsa_p;
  const std::string rsa_sig = signedMessage({});
  const std::string ed_sig = signedMessage({.algorithm = SignatureAlgorithm::Ed25519Sha256});
  const std::string ed = "v=DKIM1; k=ed25519; p=" + k.ed_p;
  const std::string l_sig = signedMessage({.body_length = true});
  const std::string good_tags = "v=1; a=rsa-sha256; d=example.com; s=sel; h=from; bh=AAAA; b=AAAA";
  std::string many_tags = "d=example.com; s=sel; h=from; bh=AAAA; b=AAAA";
  for (int i = 0; i < 124; ++i) many_tags += "; z" + std::to_string(i) + "=1";
  std::vector<KeyAnswer> both_small_first = {txt("p=" + k.small_p), txt(rsa)};

  const Case cases[] = {
      {"rsa pass", rsa_sig, record(rsa), DkimResult::Pass, {}},
      {"ed25519 pass", ed_sig, record(ed), DkimResult::Pass, {}},
      {"empty value",
       handMade(""),
       record(rsa),
       DkimResult::PermError,
       "malformed signature",
       {},
       false,
       0,
       false,
       0},
      {"missing d=",
       handMade("v=1; s=sel; h=from; bh=AAAA; b=AAAA"),
       record(rsa),
       DkimResult::PermError,
       "malformed signature",
       {},
       false,
       0,
       false,
       0},
      {"v=2",
       handMade("v=2; d=example.com; s=sel; h=from; bh=AAAA; b=AAAA"),
       record(rsa),
       DkimResult::PermError,
       "malformed signature",
       {},
       false,
       0,
       false,
       0},
      {"duplicate tag",
       handMade(good_tags + "; d=example.org"),
       record(rsa),
       DkimResult::PermError,
       "duplicate tag in signature (RFC 6376 3.2)",
       {},
       false,
       0,
       false,
       0},
      {"129 tags",
       handMade(many_tags),
       record(rsa),
       DkimResult::PermError,
       "signature carries too many tags",
       {},
       false,
       0,
       false,
       0},
      {"rsa-sha1",
       replaced(rsa_sig, "a=rsa-sha256", "a=rsa-sha1"),
       record(rsa),
       DkimResult::PermError,
       "unsupported a= algorithm",
       {},
       false,
       0,
       false,
       0},
      {"capitalised c=",
       replaced(rsa_sig, "c=relaxed/relaxed", "c=Relaxed/relaxed"),
       record(rsa),
       DkimResult::PermError,
       "unsupported c= canonicalization (RFC 6376 6.1.1)",
       {},
       false,
       0,
       false,
       0},
      {"empty bh=",
       handMade("d=example.com; s=sel; h=from; bh=; b=AAAA"),
       record(rsa),
       DkimResult::PermError,
       "missing b= or bh=",
       {},
       false,
       0,
       true,
       0},
      {"from not signed, before any query",
       handMade("d=example.com; s=sel; h=to : subject; bh=AAAA; b=AAAA"),
       record(rsa),
       DkimResult::PermError,
       "from not signed",
       {},
       false,
       0,
       true,
       0},
      {"x= equal to t=",
       handMade(good_tags + "; t=1700000000; x=1700000000"),
       record(rsa),
       DkimResult::PermError,
       "expiration precedes timestamp",
       {},
       false,
       0,
       true,
       0},
      {"x= in the past",
       handMade(good_tags + "; x=1000"),
       record(rsa),
       DkimResult::Fail,
       "signature expired",
       {},
       false,
       0,
       true,
       0},
      {"i= in a subdomain, other case, goes on to the body",
       handMade(good_tags + "; i=@Mail.EXAMPLE.com"), record(rsa), DkimResult::Fail,
       "body hash mismatch"},
      {"name does not exist", rsa_sig, fail(Error::DnsNameError), DkimResult::PermError,
       "no key record for selector"},
      {"timeout", rsa_sig, fail(Error::DnsTimeout), DkimResult::TempError, "DNS lookup failed"},
      {"server failure", rsa_sig, fail(Error::DnsServerFailure), DkimResult::TempError,
       "DNS lookup failed"},
      {"only a CNAME", rsa_sig, std::vector<KeyAnswer>{{5, "elsewhere.example"}},
       DkimResult::PermError, "no TXT record"},
      {"lower-case dkim1", rsa_sig, record("v=dkim1; p=" + k.rsa_p), DkimResult::PermError,
       "malformed key record"},
      {"revoked", rsa_sig, record("v=DKIM1; p="), DkimResult::PermError, "key revoked"},
      {"type mismatch", ed_sig, record(rsa), DkimResult::PermError, "key type mismatch"},
      {"s= other service", rsa_sig, record(rsa + "; s=tlsrpt"), DkimResult::PermError,
       "key not valid for the email service (s=)"},
      {"h= sha1", rsa_sig, record(rsa + "; h=sha1"), DkimResult::PermError,
       "hash algorithm not permitted by the key record (h=)"},
      {"t=s with a subdomain i=", handMade(good_tags + "; i=a@sub.example.com"),
       record(rsa + "; t=s"), DkimResult::PermError,
       "i= is not exactly d= and the key record sets t=s"},
      {"l= refused after the lookup",
       l_sig,
       record(rsa),
       DkimResult::Policy,
       "l= body length limit refused by policy",
       {.refuse_l = true}},
      {"l= refused, but the lookup fails first",
       l_sig,
       fail(Error::DnsTimeout),
       DkimResult::TempError,
       "DNS lookup failed",
       {.refuse_l = true}},
      {"l= beyond the body", replaced(l_sig, "l=", "l=9"), record(rsa), DkimResult::PermError,
       "l= exceeds the canonicalized body length"},
      {"bh= not base64", replaced(rsa_sig, "bh=", "bh=!!!!"), record(rsa), DkimResult::PermError,
       "invalid bh= base64"},
      {"changed body", replaced(rsa_sig, "See you", "See them"), record(rsa), DkimResult::Fail,
       "body hash mismatch"},
      {"right hash cut to 31 bytes",
       handMade("d=example.com; s=sel; h=from; b=AAAA; bh=" + bodyHashOfMessage(S, 31)),
       record(rsa), DkimResult::Fail, "body hash mismatch"},
      {"b= not base64", replaced(rsa_sig, " b=", " b=!!!!"), record(rsa), DkimResult::PermError,
       "invalid b= base64"},
      {"p= not base64", rsa_sig, record("p=!!!!"), DkimResult::PermError, "crypto verify error"},
      {"ed25519 signature of 63 bytes", withSignature(ed_sig, std::string(83, 'A') + "="),
       record(ed), DkimResult::PermError, "crypto verify error"},
      {"ed25519 signature of zeros", withSignature(ed_sig, std::string(86, 'A') + "=="), record(ed),
       DkimResult::Fail, "signature mismatch"},
      {"p= not a key", rsa_sig, record("p=AAAA"), DkimResult::PermError, "unusable public key"},
      {"p= an EC key", rsa_sig, record("p=" + k.ec_p), DkimResult::PermError,
       "p= is not an RSA key"},
      {"512-bit key alone", rsa_sig, record("p=" + k.small_p), DkimResult::PermError,
       "key too small"},
      {"512-bit key before the valid one", rsa_sig, both_small_first, DkimResult::Pass, {}},
      {"-b 2048 refuses 1024 bits",
       signedMessage({.key = &k.other_rsa}),
       record("p=" + k.other_p),
       DkimResult::PermError,
       "key too small",
       {.min_bits = 2048}},
      {"changed signed header", replaced(rsa_sig, "Subject: Lunch", "Subject: Dinner"), record(rsa),
       DkimResult::Fail, "signature mismatch"},
      {"unsigned octets beyond l=",
       l_sig + "P.S. more\r\n",
       record(rsa),
       DkimResult::Pass,
       {},
       {},
       false,
       11},
      {"testing key", rsa_sig, record(rsa + "; t=y"), DkimResult::Pass, {}, {}, true},
  };
  std::vector<Case> all(std::begin(cases), std::end(cases));
  // An i= outside d= is refused before any query (RFC 6376 6.1.1).
  const std::pair<const char*, const char*> outside[] = {
      {"i= in another domain", "i=user@evil.example"},
      {"i= without @", "i=nonsense"},
      {"empty i=", "i="},
      {"i= ending in d= off a label boundary", "i=a@notexample.com"},
      {"i= in a parent of d=", "i=a@com"},
  };
  for (auto [name, tag] : outside) {
    all.push_back({name,
                   handMade(good_tags + "; " + tag),
                   record(rsa),
                   DkimResult::PermError,
                   "i= domain is not d= or a subdomain of it (RFC 6376 6.1.1)",
                   {},
                   false,
                   0,
                   true,
                   0});
  }
  return all;
}

void expectOutcome(const Case& tc, const VerificationOutcome& o) {
  EXPECT_EQ(dkimResultText(o.result), dkimResultText(tc.want));
  EXPECT_EQ(o.reason, tc.reason);
  EXPECT_EQ(o.testing, tc.testing);
  EXPECT_EQ(o.unsigned_octets, tc.unsigned_octets);
  EXPECT_EQ(o.domain, tc.has_identity ? "example.com" : "");
  EXPECT_EQ(o.selector, tc.has_identity ? "sel" : "");
}

TEST(VerifierTest, EveryReasonOfTheTableWithItsResult) {
  for (const Case& tc : tableCases()) {
    SCOPED_TRACE(tc.name);
    FakeLookup lookup;
    lookup.answers.emplace(std::string(kName), tc.answers);
    auto v = verifyText(tc.message, lookup, tc.settings);
    expectOutcome(tc, v->outcome);
    EXPECT_EQ(lookup.calls, tc.lookups);
  }
}

// A domain name in wire form, for the RDATA of a CNAME.
std::vector<std::uint8_t> wireName(std::string_view name) {
  std::vector<std::uint8_t> out;
  while (!name.empty()) {
    std::size_t dot = name.find('.');
    std::string_view label = name.substr(0, dot);
    out.push_back(static_cast<std::uint8_t>(label.size()));
    out.insert(out.end(), label.begin(), label.end());
    name.remove_prefix(dot == std::string_view::npos ? name.size() : dot + 1);
  }
  out.push_back(0);
  return out;
}

// What a nameserver sends for one row: its answers as TXT (cut into
// character-strings of 255 bytes) or CNAME records, or the reply that makes
// the resolver report the row's error.
std::vector<testing::FakeDatagram> replyFor(const testing::FakeQuery& q,
                                            const Result<std::vector<KeyAnswer>>& answers) {
  if (!answers) {
    switch (answers.error()) {
      case Error::DnsNameError:
        return {{testing::buildReply(q, 3, {})}};
      case Error::DnsServerFailure:
        return {{testing::buildReply(q, 2, {})}};
      case Error::DnsTimeout:
        return {};
      default:
        ADD_FAILURE() << "no reply produces " << errorName(answers.error());
        return {};
    }
  }
  std::vector<testing::FakeRecord> records;
  for (const KeyAnswer& a : *answers) {
    if (a.type == kDnsTypeTxt) {
      std::vector<std::string> pieces;
      for (std::size_t i = 0; i == 0 || i < a.data.size(); i += 255) {
        pieces.push_back(a.data.substr(i, 255));
      }
      records.push_back({q.name, kDnsTypeTxt, 300, testing::txtRdata(pieces)});
    } else {
      records.push_back({q.name, a.type, 300, wireName(a.data)});
    }
  }
  return {{testing::buildReply(q, 0, records)}};
}

TEST(VerifierTest, TableRowsWithKeyRecordsServedThroughTheResolver) {
  const std::vector<Case> cases = tableCases();
  std::mutex mu;
  const Result<std::vector<KeyAnswer>>* serving = nullptr;
  auto server = testing::FakeDnsServer::start("127.0.0.1", 0, [&](const testing::FakeQuery& q) {
    std::lock_guard lock(mu);
    if (q.name != kName) return std::vector<testing::FakeDatagram>{{testing::buildReply(q, 3, {})}};
    return replyFor(q, *serving);
  });
  ASSERT_NE(server, nullptr);
  DnsSettings settings;
  settings.nameservers = {server->address()};
  settings.port = server->port();
  settings.timeout_ms = 300;
  settings.retries = 0;

  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    {
      std::lock_guard lock(mu);
      serving = &tc.answers;
    }
    int queries_before = server->udpQueries() + server->tcpQueries();
    // A resolver of its own per row, so that no row answers from another's cache.
    ResolverKeyLookup lookup(DnsResolver::create(settings).value());
    auto v = verifyText(tc.message, lookup, tc.settings);
    expectOutcome(tc, v->outcome);
    EXPECT_EQ(server->udpQueries() + server->tcpQueries() - queries_before, tc.lookups);
  }
}

TEST(VerifierTest, AllFourCanonicalizationPairsPassForBothAlgorithms) {
  const Keys& k = keys();
  for (auto alg : {SignatureAlgorithm::RsaSha256, SignatureAlgorithm::Ed25519Sha256}) {
    for (auto h : {S, R}) {
      for (auto b : {S, R}) {
        SCOPED_TRACE(std::string(algorithmName(alg)) + " " + std::string(canonicalizationName(h)) +
                     "/" + std::string(canonicalizationName(b)));
        FakeLookup lookup;
        bool rsa = alg == SignatureAlgorithm::RsaSha256;
        lookup.answers.emplace(std::string(kName),
                               record(rsa ? "p=" + k.rsa_p : "k=ed25519; p=" + k.ed_p));
        auto v = verifyText(signedMessage({.algorithm = alg, .header = h, .body = b}), lookup);
        EXPECT_EQ(v->outcome.result, DkimResult::Pass) << v->outcome.reason;
      }
    }
  }
}

TEST(VerifierTest, KeyRecordOrderAndTheFirstCandidateDecidesAFailure) {
  const Keys& k = keys();
  const std::string msg = signedMessage({});
  struct OrderCase {
    std::string name;
    std::vector<KeyAnswer> answers;
    DkimResult want;
    std::string_view reason;
    bool testing;
  } cases[] = {
      {"wrong then right",
       {txt("p=" + k.other_p), txt("p=" + k.rsa_p)},
       DkimResult::Pass,
       {},
       false},
      {"right then wrong",
       {txt("p=" + k.rsa_p), txt("p=" + k.other_p)},
       DkimResult::Pass,
       {},
       false},
      {"testing flag of the record that verified",
       {txt("t=y; p=" + k.other_p), txt("p=" + k.rsa_p)},
       DkimResult::Pass,
       {},
       false},
      {"both wrong: first record's flag",
       {txt("t=y; p=" + k.other_p), txt("p=" + k.other_p)},
       DkimResult::Fail,
       "signature mismatch",
       true},
      {"mismatch first, key problem second",
       {txt("p=" + k.other_p), txt("p=AAAA")},
       DkimResult::Fail,
       "signature mismatch",
       false},
      {"key problem first, mismatch second",
       {txt("p=AAAA"), txt("p=" + k.other_p)},
       DkimResult::PermError,
       "unusable public key",
       false},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    FakeLookup lookup;
    lookup.answers.emplace(std::string(kName), tc.answers);
    auto v = verifyText(msg, lookup);
    EXPECT_EQ(v->outcome.result, tc.want);
    EXPECT_EQ(v->outcome.reason, tc.reason);
    EXPECT_EQ(v->outcome.testing, tc.testing);
  }
}

TEST(VerifierTest, MalformedSignatureFieldTextIsACanonicalizationFailure) {
  // The caller hands in the raw field text; one without a colon cannot be
  // canonicalized in relaxed mode.
  FakeLookup lookup;
  lookup.answers.emplace(std::string(kName), record("p=" + keys().rsa_p));
  std::string text = handMade("c=relaxed/relaxed; d=example.com; s=sel; h=from; b=AAAA; bh=" +
                              bodyHashOfMessage(R));
  Message m = parseMessage(text).value();
  std::vector<std::string> raw = buildRawHeaderList(m).value();
  std::string no_colon = "DKIM-Signature " + std::string(m.headers[0].value);
  ASSERT_EQ(no_colon.find(':'), std::string::npos);
  VerificationRequest req;
  req.signature_value = m.headers[0].value;
  req.signature_field = no_colon;
  req.raw_headers = raw;
  req.body = m.body;
  VerificationOutcome o = verifySignature(req, lookup);
  EXPECT_EQ(o.result, DkimResult::TempError);
  EXPECT_EQ(o.reason, "canonicalization failed");
}

TEST(VerifierTest, DecodedKeyCacheChangesNoOutcome) {
  const Keys& k = keys();
  PublicKeyCache cache(2);
  const std::string good = signedMessage({});
  const std::string tampered = replaced(good, "Subject: Lunch", "Subject: Dinner");
  struct Step {
    const char* name;
    std::string message;
    std::string p;
    std::uint32_t min_bits;
    std::string_view reason;
  } steps[] = {
      {"first pass", good, k.rsa_p, 1024, {}},
      {"a cached key still refuses", tampered, k.rsa_p, 1024, "signature mismatch"},
      {"the floor applies to cached keys", good, k.rsa_p, 4096, "key too small"},
      {"512-bit key", good, k.small_p, 1024, "key too small"},
      {"undecodable key", good, "AAAA", 1024, "unusable public key"},
      {"other key evicts the oldest", good, k.other_p, 1024, "signature mismatch"},
      {"pass after eviction", good, k.rsa_p, 1024, {}},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    for (PublicKeyCache* c : {static_cast<PublicKeyCache*>(nullptr), &cache}) {
      FakeLookup lookup;
      lookup.answers.emplace(std::string(kName), record("p=" + s.p));
      auto v = verifyText(s.message, lookup, {.min_bits = s.min_bits}, c);
      EXPECT_EQ(v->outcome.reason, s.reason) << (c ? "cached" : "uncached");
    }
    EXPECT_LE(cache.size(), 2u);
  }
}

}  // namespace
}  // namespace quellsig
