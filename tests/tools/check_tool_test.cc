#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/base64.h"
#include "engine/message.h"
#include "engine/rsa_keygen.h"
#include "engine/signer.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/tool_dns_fixture.h"
#include "tools/check/check.h"

namespace quellsig {
namespace {

const char kPlain[] =
    "From: a@example.test\r\n"
    "To: b@example.net\r\n"
    "Subject: hi\r\n"
    "\r\n"
    "body line\r\n";

struct Key {
  PrivateKey key;
  std::string p;
};

Key rsaKey(int bits) {
  Key k{std::move(generateRsaKey(bits).value()), {}};
  k.p = base64Encode(rsaPublicKeyDer(k.key).value());
  return k;
}

// `text` with a signature by `key` for selector `selector` on top.
std::string signText(const std::string& text, const Key& key, const std::string& selector,
                     bool body_length = false) {
  Message m = parseMessage(text).value();
  std::vector<std::string> raw = buildRawHeaderList(m).value();
  SigningRequest req;
  req.domain = "example.test";
  req.selector = selector;
  req.key = &key.key;
  req.signed_headers = "from:to:subject";
  req.include_body_length = body_length;
  std::string field =
      signMessage(m, raw, req, signingBodyHash(m.body, req.body_canonicalization).value()).value();
  return field + "\r\n" + text;
}

class CheckToolTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    good_ = new Key(rsaKey(1024));
    small_ = new Key(rsaKey(512));
  }
  static void TearDownTestSuite() {
    delete good_;
    delete small_;
  }
  void SetUp() override {
    ASSERT_TRUE(zone_.running());
    zone_.set("good._domainkey.example.test", {"v=DKIM1; p=" + good_->p});
    zone_.set("small._domainkey.example.test", {"p=" + small_->p});
    zone_.set("testing._domainkey.example.test", {"t=y; p=" + good_->p});
  }

  std::string file(const std::string& text) {
    return dir_.write("m" + std::to_string(files_++) + ".eml", text);
  }
  using Run = testing::ToolRun;
  Run run(std::vector<std::string> args) { return zone_.run(runCheck, args); }

  static inline Key* good_ = nullptr;
  static inline Key* small_ = nullptr;
  testing::TxtZone zone_;
  testutil::TempDir dir_{"check"};
  int files_ = 0;
};

TEST_F(CheckToolTest, ArgumentErrorsNameTheProblem) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{}, "a message file is required (see -h)"},
      {{"-f"}, "-f needs a value"},
      {{"x", "-n"}, "-n needs a value"},
      {{"x", "-p"}, "-p needs a value"},
      {{"x", "-b"}, "-b needs a value"},
      {{"x", "--max-key-records"}, "--max-key-records needs a value"},
      {{"x", "-m"}, "-m needs a value"},
      {{"x", "-p", "65536"}, "invalid port"},
      {{"x", "-p", "abc"}, "invalid port"},
      {{"x", "-b", "4294967296"}, "invalid bits"},
      {{"x", "--max-key-records", "256"}, "invalid --max-key-records"},
      {{"x", "-m", "-5"}, "-m must be 0 (disabled) or a positive number of milliseconds"},
      {{"x", "-m", "soon"}, "-m must be a number of milliseconds"},
      {{"x", "-m", "99999999999999999999"}, "-m must be a number of milliseconds"},
      {{"x", "-m", "--0"}, "-m must be a number of milliseconds"},
      {{"x", "-m", "-+0"}, "-m must be a number of milliseconds"},
      {{"a.eml", "b.eml"}, "only one message file may be given: b.eml"},
      {{"-f", "a.eml", "b.eml"}, "only one message file may be given: b.eml"},
      {{"x", "--verbose"}, "unknown option"},
      {{"-x", "-h"}, "unknown option"},
      {{dir_.file("absent.eml")}, "could not read the message file"},
      // The message is read before the resolver is set up, so the file must
      // exist for the tool to get as far as the resolver.
      {{"x", "-n", "localhost"}, "could not read the message file"},
      {{file(kPlain), "-n", "localhost"}, "DNS resolver: invalid nameserver address"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(::testing::PrintToString(tc.args));
    Run r = run(tc.args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "quellsig-check: " + tc.message + "\n");
  }
}

TEST_F(CheckToolTest, NumbersFollowTheTagNumberSpelling) {
  auto o = parseCheckArgs(std::vector<std::string_view>{"-p", "+5_3", "-b", "2_048", "-m", "-0",
                                                        "--max-key-records", "8", "-f", "a"});
  ASSERT_TRUE(o.has_value()) << o.error();
  EXPECT_EQ(o->port, 53);
  EXPECT_EQ(o->minimum_bits, 2048u);
  EXPECT_EQ(o->budget_ms, 0);
  EXPECT_EQ(o->max_key_records, 8);
  EXPECT_EQ(o->file, "a");
}

TEST_F(CheckToolTest, HelpIsTheUsageText) {
  Run r = run({"x", "--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("Usage: quellsig-check [options] <message-file>\n\n", 0), 0u);
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 33);
  EXPECT_NE(r.out.find("  -m <ms>            Wall-clock budget"), std::string::npos);
  EXPECT_NE(r.out.find("including \"fail\" \u2014 the\n"), std::string::npos);
}

TEST_F(CheckToolTest, OverallResultAndPerSignatureKeys) {
  const std::string pass = signText(kPlain, *good_, "good");
  std::string tampered = signText(kPlain, *good_, "good");
  tampered.replace(tampered.find("body line"), 4, "BODY");
  // Two signatures over the same message: the top one made for another
  // selector (no record) and the second a good one.
  std::string both = signText(signText(kPlain, *good_, "good"), *good_, "absent");
  std::string none_pass = signText(signText(kPlain, *good_, "absent"), *small_, "small");

  struct Case {
    std::string name;
    std::string text;
    std::vector<std::string> extra;
    std::string want;
  } cases[] = {
      {"no signature", kPlain, {}, "signatures=0\nresult=none\n"},
      {"pass",
       pass,
       {},
       "sig.0.result=pass\nsig.0.domain=example.test\nsig.0.selector=good\n"
       "signatures=1\nresult=pass\n"},
      {"first fails, second passes",
       both,
       {},
       "sig.0.result=permerror\nsig.0.domain=example.test\nsig.0.selector=absent\n"
       "sig.0.reason=no key record for selector\n"
       "sig.1.result=pass\nsig.1.domain=example.test\nsig.1.selector=good\n"
       "signatures=2\nresult=pass\n"},
      {"neither passes: the first one's result",
       none_pass,
       {},
       "sig.0.result=permerror\nsig.0.domain=example.test\nsig.0.selector=small\n"
       "sig.0.reason=key too small\n"
       "sig.1.result=permerror\nsig.1.domain=example.test\nsig.1.selector=absent\n"
       "sig.1.reason=no key record for selector\nsignatures=2\nresult=permerror\n"},
      {"-b 512 still enforces 1024",
       signText(kPlain, *small_, "small"),
       {"-b", "512"},
       "sig.0.result=permerror\nsig.0.domain=example.test\nsig.0.selector=small\n"
       "sig.0.reason=key too small\nsignatures=1\nresult=permerror\n"},
      {"-b 2048 rejects 1024 bits",
       pass,
       {"-b", "2048"},
       "sig.0.result=permerror\nsig.0.domain=example.test\nsig.0.selector=good\n"
       "sig.0.reason=key too small\nsignatures=1\nresult=permerror\n"},
      {"--max-key-records 0",
       pass,
       {"--max-key-records", "0"},
       "sig.0.result=permerror\nsig.0.domain=example.test\nsig.0.selector=good\n"
       "sig.0.reason=no TXT record\nsignatures=1\nresult=permerror\n"},
      {"testing key",
       signText(kPlain, *good_, "testing"),
       {},
       "sig.0.result=pass\nsig.0.domain=example.test\nsig.0.selector=testing\n"
       "sig.0.testing=true\nsignatures=1\nresult=pass\n"},
      {"unsigned octets",
       signText(kPlain, *good_, "good", true) + "appended\r\n",
       {},
       "sig.0.result=pass\nsig.0.domain=example.test\nsig.0.selector=good\n"
       "sig.0.unsigned=10\nsignatures=1\nresult=pass\n"},
      {"--refuse-l",
       signText(kPlain, *good_, "good", true),
       {"--refuse-l"},
       "sig.0.result=policy\nsig.0.domain=example.test\nsig.0.selector=good\n"
       "sig.0.reason=l= body length limit refused by policy\nsignatures=1\nresult=policy\n"},
      {"tampered body",
       tampered,
       {},
       "sig.0.result=fail\nsig.0.domain=example.test\nsig.0.selector=good\n"
       "sig.0.reason=body hash mismatch\nsignatures=1\nresult=fail\n"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    std::vector<std::string> args = {file(tc.text)};
    args.insert(args.end(), tc.extra.begin(), tc.extra.end());
    Run r = run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, tc.want);
  }
}

TEST_F(CheckToolTest, BareLineEndingsAreNormalisedUnlessAskedNot) {
  std::string signed_text = signText(kPlain, *good_, "good");
  std::string bare;
  for (std::size_t i = 0; i < signed_text.size(); ++i) {
    if (signed_text.compare(i, 2, "\r\n") == 0) {
      bare += '\n';
      ++i;
    } else {
      bare += signed_text[i];
    }
  }
  std::string f = file(bare);
  EXPECT_NE(run({f}).out.find("\nresult=pass\n"), std::string::npos);
  // Without normalisation the file has no CR LF: it is one header field and
  // the body is empty.
  EXPECT_NE(run({f, "--no-normalize"}).out.find("sig.0.reason=body hash mismatch\n"),
            std::string::npos);
}

TEST_F(CheckToolTest, DeadlineStopsTheLoopWithANote) {
  zone_.setDelay(30);
  std::string three =
      signText(signText(signText(kPlain, *good_, "good"), *good_, "good"), *good_, "good");
  Run r = run({file(three), "-m", "1"});
  zone_.setDelay(0);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "sig.0.result=pass\nsig.0.domain=example.test\nsig.0.selector=good\n"
            "note=evaluation deadline exceeded; remaining signatures not verified\n"
            "signatures=1\nresult=pass\n");
}

}  // namespace
}  // namespace quellsig
