// quellsig-sign as a process: messages and exit statuses, output layout, and
// signatures that the engine's verification accepts.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "engine/base64.h"
#include "engine/canonicalization.h"
#include "engine/ed25519.h"
#include "engine/key_loading.h"
#include "engine/key_verify.h"
#include "engine/message.h"
#include "engine/rsa_keygen.h"
#include "engine/tag_list.h"
#include "platform/exclusive_file.h"
#include "tests/tools/tool_process.h"

namespace quellsig {
namespace {

using testing::runTool;
using testing::ToolRun;
using testutil::TempDir;

const std::string kSign = QUELLSIG_BIN_DIR "/tools/sign/quellsig-sign";
const std::string kLfMessage =
    "From: Alice <alice@example.org>\nTo: bob@example.net\nSubject: test\n\nHello  there.\n";

std::array<std::uint8_t, 32> seedBytes() {
  std::array<std::uint8_t, 32> s{};
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<std::uint8_t>(0xA0 + i);
  return s;
}

std::string seedText(std::size_t n) {
  std::vector<std::uint8_t> bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(0xA0 + i);
  return base64Encode(bytes);
}

// Writes a fresh RSA key of `bits` bits as PEM with mode 0600; empty when
// the key cannot be made.
std::string writeRsaKey(const TempDir& dir, const std::string& name, int bits, std::string* p) {
  auto key = generateRsaKey(bits);
  if (!key) return {};
  std::string path = dir.file(name);
  auto fd = platform::createExclusiveFile(path, 0600);
  EXPECT_TRUE(fd.has_value()) << path;
  if (!fd || !writeRsaPrivateKeyPem(*key, fd->get())) {
    ADD_FAILURE() << "could not write " << path;
    return {};
  }
  if (p) *p = base64Encode(rsaPublicKeyDer(*key).value());
  return path;
}

class SignToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.write("msg.txt", kLfMessage, 0644);
    dir_.write("seed", seedText(32) + "\n", 0644);
    rsa_path_ = writeRsaKey(dir_, "rsa.pem", 2048, &rsa_p_);
    ASSERT_FALSE(rsa_path_.empty());
    ed_p_ = base64Encode(ed25519KeyFromSeed(seedBytes()).value().ed25519_public);
  }
  ToolRun sign(std::vector<std::string> args) { return runTool(kSign, args, dir_); }

  TempDir dir_{"sign"};
  std::string rsa_path_, rsa_p_, ed_p_;
};

void expectError(const ToolRun& r, const std::string& message) {
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "quellsig-sign: " + message + "\n");
  EXPECT_EQ(r.out, "");
}

TEST_F(SignToolTest, ArgumentErrors) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"msg.txt", "-d"}, "-d needs a value"},
      {{"-s"}, "-s needs a value"},
      {{"-k"}, "-k needs a value"},
      {{"-a"}, "-a needs a value"},
      {{"-c"}, "-c needs a value"},
      {{"--headers"}, "--headers needs a value"},
      {{"--oversign"}, "--oversign needs a value"},
      {{"-a", "RSA-SHA256"}, "unknown algorithm"},
      {{"-a", "rsa-sha1"}, "unknown algorithm"},
      {{"-c", "relaxed/"}, "unknown canonicalization"},
      {{"-c", "Simple"}, "unknown canonicalization"},
      {{"-x"}, "unknown option (see --help)"},
      {{"--version"}, "unknown option (see --help)"},
      {{"-"}, "unknown option (see --help)"},
      {{}, "a message file is required (see --help)"},
      {{"-d", "e", "-s", "s", "-k", "k"}, "a message file is required (see --help)"},
      {{"msg.txt", "-s", "s", "-k", "k"}, "-d <domain> is required"},
      {{"msg.txt", "-d", "e", "-k", "k"}, "-s <selector> is required"},
      {{"msg.txt", "-d", "e", "-s", "s"}, "-k <keyfile> is required"},
      // Errors stop the parse where they occur.
      {{"-a", "nope", "-x"}, "unknown algorithm"},
      {{"-x", "-a", "nope"}, "unknown option (see --help)"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(::testing::PrintToString(tc.args));
    expectError(sign(tc.args), tc.message);
  }
}

TEST_F(SignToolTest, HelpGoesToStandardOutput) {
  for (const char* flag : {"-h", "--help"}) {
    SCOPED_TRACE(flag);
    ToolRun r = sign({"-x-ignored-after", flag});
    // "-x..." comes first and is an error; help must be reached first to win.
    EXPECT_EQ(r.status, 2) << flag;
    r = sign({flag, "-x"});
    EXPECT_EQ(r.status, 0) << flag;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.out.starts_with("Usage: quellsig-sign [options] <message-file>\n\n"));
    EXPECT_TRUE(r.out.ends_with(
        "\nExit status is 0 on success, 2 on any error, with a message on stderr.\n"));
    EXPECT_NE(r.out.find("  --oversign <list> Colon-separated names to list once more than the "
                         "message\n"),
              std::string::npos);
    int lines = 0;
    for (char c : r.out) lines += c == '\n';
    EXPECT_EQ(lines, 30);
  }
}

TEST_F(SignToolTest, FileAndKeyErrors) {
  dir_.write("open.pem", dir_.read("rsa.pem"), 0640);
  dir_.write("garbage.pem", "not a key\n", 0600);
  dir_.write("seed31", seedText(31) + "\n", 0600);
  dir_.write("seed33", seedText(33) + "\n", 0600);
  dir_.write("unclosed", "-----BEGIN ED25519 PRIVATE KEY-----\n" + seedText(32) + "\n", 0600);
  dir_.write("badb64", "AAA*\n", 0600);
  dir_.write("emptyseed", "\n", 0600);
  dir_.write("bigseed", std::string(65537, 'A'), 0600);
  dir_.write("big.txt", std::string(kMaxMessageFileBytes + 1, 'a'), 0600);
  std::string small = writeRsaKey(dir_, "small.pem", 1023, nullptr);

  const std::vector<std::string> rsa = {"-d", "example.org", "-s", "sel", "-k"};
  auto with = [&](std::vector<std::string> head, std::vector<std::string> tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {with(rsa, {"rsa.pem", "missing.txt"}), "could not read the message file"},
      {with(rsa, {"rsa.pem", "."}), "could not read the message file"},
      {with(rsa, {"rsa.pem", "big.txt"}), "could not read the message file"},
      // The message is read before the key is looked at.
      {with(rsa, {"missing.pem", "missing.txt"}), "could not read the message file"},
      {with(rsa, {"open.pem", "msg.txt"}),
       "the RSA private key is readable beyond its owner; chmod 600 it"},
      {with(rsa, {"garbage.pem", "msg.txt"}), "could not load the RSA private key"},
      {with(rsa, {"missing.pem", "msg.txt"}), "could not load the RSA private key"},
      {with(rsa, {std::string(1024, 'k'), "msg.txt"}), "could not load the RSA private key"},
      {with(rsa, {"seed", "msg.txt"}),
       "the RSA private key is readable beyond its owner; chmod 600 it"},
      {with(rsa, {"seed31", "msg.txt"}), "could not load the RSA private key"},
      {with(rsa, {"missing", "-a", "ed25519-sha256", "msg.txt"}), "could not read the key file"},
      {with(rsa, {"bigseed", "-a", "ed25519-sha256", "msg.txt"}), "could not read the key file"},
      {with(rsa, {"unclosed", "-a", "ed25519-sha256", "msg.txt"}),
       "Ed25519 key file is not valid base64"},
      {with(rsa, {"badb64", "-a", "ed25519-sha256", "msg.txt"}),
       "Ed25519 key file is not valid base64"},
      {with(rsa, {"seed31", "-a", "ed25519-sha256", "msg.txt"}),
       "an Ed25519 seed must be exactly 32 bytes"},
      {with(rsa, {"seed33", "-a", "ed25519-sha256", "msg.txt"}),
       "an Ed25519 seed must be exactly 32 bytes"},
      {with(rsa, {"emptyseed", "-a", "ed25519-sha256", "msg.txt"}),
       "an Ed25519 seed must be exactly 32 bytes"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(::testing::PrintToString(tc.args));
    expectError(sign(tc.args), tc.message);
  }
  ASSERT_FALSE(small.empty()) << "no 1023-bit key to test the size floor with";
  expectError(sign(with(rsa, {"small.pem", "msg.txt"})), "could not load the RSA private key");
}

struct Output {
  std::string field;
  std::string rest;
};

Output splitOutput(const std::string& out) {
  std::size_t pos = 0;
  for (;;) {
    pos = out.find("\r\n", pos);
    if (pos == std::string::npos || pos + 2 >= out.size() || out[pos + 2] != '\t') break;
    pos += 2;
  }
  if (pos == std::string::npos) return {out, ""};
  return {out.substr(0, pos), out.substr(pos + 2)};
}

// The field with every fold replaced by one space.
std::string unfolded(const std::string& field) {
  std::string flat;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field.compare(i, 3, "\r\n\t") == 0) {
      flat += ' ';
      i += 2;
    } else {
      flat += field[i];
    }
  }
  return flat;
}

// Verifies the field over the message that follows it, as a verifier would.
bool verifiesOutput(const std::string& out, const std::string& p) {
  Output o = splitOutput(out);
  auto m = parseMessage(o.rest).value();
  auto raw = buildRawHeaderList(m).value();
  std::string_view value = std::string_view(o.field).substr(o.field.find(':') + 1);
  if (!parseTagList(value)) return false;
  auto f = extractSignatureFields(value).value();
  auto bh = bodyHash(m.body, f.body_canonicalization).value();
  if (decodeBase64Tag(f.body_hash).value() !=
      std::vector<std::uint8_t>(bh.digest.begin(), bh.digest.end())) {
    return false;
  }
  auto selected = selectSignedHeaders(f.signed_headers, raw).value();
  auto input = buildHeaderHashInput(selected, removeSignatureValue(o.field).value(),
                                    f.header_canonicalization)
                   .value();
  return verifyWithKeyRecord(f.algorithm, p, decodeBase64Tag(f.signature).value(), input, 1024)
             .status == KeyVerifyResult::Status::Verified;
}

TEST_F(SignToolTest, NoTimestampOutputIsByteStableAndVerifies) {
  struct Case {
    const char* name;
    std::vector<std::string> key_args;
    const std::string* p;
  } cases[] = {
      {"ed25519", {"-k", "seed", "-a", "ed25519-sha256"}, &ed_p_},
      {"rsa", {"-k", "rsa.pem"}, &rsa_p_},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    std::vector<std::string> args = {"-d", "example.org", "-s", "sel", "--no-timestamp", "msg.txt"};
    args.insert(args.end(), tc.key_args.begin(), tc.key_args.end());
    ToolRun a = sign(args);
    ToolRun b = sign(args);
    ASSERT_EQ(a.status, 0) << a.err;
    EXPECT_EQ(a.err, "");
    EXPECT_EQ(a.out, b.out);
    Output o = splitOutput(a.out);
    EXPECT_TRUE(o.field.starts_with("DKIM-Signature: v=1; a="));
    EXPECT_EQ(o.field.find("t="), std::string::npos);
    EXPECT_NE(o.field.find("c=relaxed/relaxed"), std::string::npos);
    EXPECT_EQ(o.rest, normalizeLineEndings(kLfMessage).value());
    EXPECT_TRUE(verifiesOutput(a.out, *tc.p));
  }
  ToolRun timed = sign({"-d", "example.org", "-s", "sel", "-k", "rsa.pem", "msg.txt", "-l"});
  ASSERT_EQ(timed.status, 0) << timed.err;
  EXPECT_NE(timed.out.find("; t="), std::string::npos);
  EXPECT_NE(unfolded(splitOutput(timed.out).field).find("l=14;"), std::string::npos);
  EXPECT_TRUE(verifiesOutput(timed.out, rsa_p_));
}

TEST_F(SignToolTest, SeedFileWhitespaceIsIgnoredEverywhere) {
  const std::string b64 = seedText(32);
  dir_.write("spread", " \t" + b64.substr(0, 20) + "\r\n " + b64.substr(20) + "\r\n\r\n", 0600);
  const std::vector<std::string> common = {
      "-d", "example.org", "-s", "sel", "-a", "ed25519-sha256", "--no-timestamp", "msg.txt", "-k"};
  auto args = [&](const char* key) {
    std::vector<std::string> a = common;
    a.push_back(key);
    return a;
  };
  ToolRun plain = sign(args("seed"));
  ToolRun spread = sign(args("spread"));
  ASSERT_EQ(plain.status, 0) << plain.err;
  ASSERT_EQ(spread.status, 0) << spread.err;
  EXPECT_EQ(spread.out, plain.out);
}

// The armoured file quellsig-genkey writes holds the same seed as the bare form.
TEST_F(SignToolTest, ArmouredSeedFileSignsLikeTheBareSeed) {
  dir_.write("armoured",
             "-----BEGIN ED25519 PRIVATE KEY-----\n" + seedText(32) +
                 "\n-----END ED25519 PRIVATE KEY-----\n",
             0600);
  const std::vector<std::string> common = {
      "-d", "example.org", "-s", "sel", "-a", "ed25519-sha256", "--no-timestamp", "msg.txt", "-k"};
  std::vector<std::string> bare = common, armoured = common;
  bare.push_back("seed");
  armoured.push_back("armoured");
  ToolRun plain = sign(bare);
  ToolRun wrapped = sign(armoured);
  ASSERT_EQ(plain.status, 0) << plain.err;
  ASSERT_EQ(wrapped.status, 0) << wrapped.err;
  EXPECT_EQ(wrapped.out, plain.out);
}

TEST_F(SignToolTest, NoNormalizeWritesTheFileBytesUnchanged) {
  std::string crlf = normalizeLineEndings(kLfMessage).value();
  dir_.write("crlf.txt", crlf, 0600);
  ToolRun r = sign({"-d", "example.org", "-s", "sel", "-k", "seed", "-a", "ed25519-sha256",
                    "--no-normalize", "msg.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
  Output o = splitOutput(r.out);
  EXPECT_EQ(o.rest, kLfMessage);
  r = sign({"-d", "example.org", "-s", "sel", "-k", "seed", "-a", "ed25519-sha256",
            "--no-normalize", "crlf.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(splitOutput(r.out).rest, crlf);
  EXPECT_TRUE(verifiesOutput(r.out, ed_p_));
}

TEST_F(SignToolTest, CanonicalizationAndHeaderOptions) {
  struct Case {
    std::vector<std::string> extra;
    std::string want;
  } cases[] = {
      {{"-c", ""}, "c=simple/simple"},
      {{"-c", "simple"}, "c=simple/simple"},
      {{"-c", "relaxed"}, "c=relaxed/simple"},
      {{"-c", "simple/relaxed"}, "c=simple/relaxed"},
      {{"--oversign", ""}, "h=from:to:subject:date:message-id;"},
      {{"--headers", ":from:subject:", "--oversign", ""}, "h=from:subject;"},
      {{"--headers", "from", "--oversign", "to:from"}, "h=from:to:to:from;"},
      // A repeated option and a later file name replace the earlier ones.
      {{"-s", "other", "missing.txt", "msg.txt"}, "s=other;"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(::testing::PrintToString(tc.extra));
    std::vector<std::string> args = {"-d",
                                     "example.org",
                                     "-s",
                                     "sel",
                                     "-k",
                                     "seed",
                                     "-a",
                                     "ed25519-sha256",
                                     "--no-timestamp",
                                     "msg.txt"};
    args.insert(args.end(), tc.extra.begin(), tc.extra.end());
    ToolRun r = sign(args);
    ASSERT_EQ(r.status, 0) << r.err;
    std::string flat = unfolded(splitOutput(r.out).field);
    EXPECT_NE(flat.find(tc.want), std::string::npos) << flat;
    EXPECT_TRUE(verifiesOutput(r.out, ed_p_));
  }
}

TEST_F(SignToolTest, LargestMessageIsSigned) {
  std::string text = "From: a@example.org\r\n\r\n";
  text += std::string(kMaxMessageFileBytes - text.size(), 'x');
  dir_.write("max.txt", text, 0600);
  ToolRun r = sign({"-d", "example.org", "-s", "sel", "-k", "seed", "-a", "ed25519-sha256",
                    "--no-timestamp", "max.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(splitOutput(r.out).rest, text);
}

}  // namespace
}  // namespace quellsig
