#include "engine/key_record.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quellsig {
namespace {

KeyAnswer txt(std::string data) { return {kKeyAnswerTypeTxt, std::move(data)}; }

constexpr std::string_view kRsa = "MIIBIjANBgkq";
constexpr std::string_view kEd = "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=";

TEST(KeyRecordTest, ReadsTheSixTagsAndDefaults) {
  KeyRecord r = readKeyRecord(
      " v = DKIM1 ; k=ed25519;p= abc\r\n def ;junk;x=1;t=y:s; ;h=sha256;s=email;p=last");
  EXPECT_EQ(r.version, "DKIM1");
  EXPECT_EQ(r.key_type, "ed25519");
  EXPECT_EQ(r.public_key, "last");  // a repeated tag keeps its last value
  EXPECT_EQ(r.flags, "y:s");
  EXPECT_EQ(r.hash_algorithms, "sha256");
  EXPECT_EQ(r.services, "email");

  KeyRecord d = readKeyRecord("p=abc; K=ed25519");  // names are case-sensitive
  EXPECT_EQ(d.version, "");
  EXPECT_EQ(d.key_type, "rsa");
  EXPECT_EQ(d.services, "*");
  EXPECT_EQ(d.hash_algorithms, "");
  EXPECT_EQ(d.flags, "");
}

TEST(KeyRecordTest, FlagsAreTrimmedPiecesComparedExactly) {
  EXPECT_TRUE(keyRecordHasFlag(readKeyRecord("t= y : s"), "y"));
  EXPECT_TRUE(keyRecordHasFlag(readKeyRecord("t= y : s"), "s"));
  EXPECT_FALSE(keyRecordHasFlag(readKeyRecord("t=Y"), "y"));
  EXPECT_FALSE(keyRecordHasFlag(readKeyRecord("t=ys"), "y"));
  EXPECT_FALSE(keyRecordHasFlag(readKeyRecord("p=x"), "y"));
}

TEST(KeyRecordTest, QueryNameIsConcatenatedUnchangedAndBounded) {
  EXPECT_EQ(keyRecordName("Sel", "Example.COM").value(), "Sel._domainkey.Example.COM");
  std::string domain(253 - 12 - 1, 'a');
  EXPECT_EQ(keyRecordName("s", domain).value_or(""), "s._domainkey." + domain);
  EXPECT_EQ(keyRecordName("ss", domain).error(), Error::NameTooLong);
}

TEST(KeyRecordTest, LookupErrorsSplitIntoPermanentAndTemporary) {
  for (Error e : {Error::DnsNameError, Error::NameTooLong, Error::EmptyLabel, Error::LabelTooLong,
                  Error::TooManyLabels}) {
    LookupFailure f = classifyLookupError(e);
    EXPECT_EQ(f.result, DkimResult::PermError) << errorName(e);
    EXPECT_EQ(f.reason, "no key record for selector") << errorName(e);
  }
  for (Error e : {Error::DnsTimeout, Error::DnsServerFailure, Error::DnsNoHealthyServers,
                  Error::IdMismatch, Error::PacketTooShort, Error::OutOfMemory}) {
    LookupFailure f = classifyLookupError(e);
    EXPECT_EQ(f.result, DkimResult::TempError) << errorName(e);
    EXPECT_EQ(f.reason, "DNS lookup failed") << errorName(e);
  }
}

struct SelectionCase {
  std::string name;
  std::vector<KeyAnswer> answers;
  SignatureAlgorithm algorithm = SignatureAlgorithm::RsaSha256;
  std::optional<std::string_view> identity;
  std::uint8_t max = 3;
  std::size_t want_count;
  std::string_view want_reason;     // when want_count is 0
  std::string_view first_key = {};  // p= of the first candidate
};

TEST(KeyRecordTest, SelectionTestsRunInOrderAndKeepAnswerOrder) {
  std::string rsa = "p=" + std::string(kRsa);
  std::string ed = "k=ed25519; p=" + std::string(kEd);
  const SelectionCase cases[] = {
      {"no v= and no k= accepted for rsa", {txt(rsa)}, {}, {}, 3, 1, {}, kRsa},
      {"v=DKIM1 accepted", {txt("v=DKIM1; " + rsa)}, {}, {}, 3, 1, {}, kRsa},
      {"lower-case dkim1", {txt("v=dkim1; " + rsa)}, {}, {}, 3, 0, "malformed key record"},
      {"other version", {txt("v=DKIM2; " + rsa)}, {}, {}, 3, 0, "malformed key record"},
      {"version tested before revocation", {txt("v=x; p=")}, {}, {}, 3, 0, "malformed key record"},
      {"empty p=", {txt("v=DKIM1; p=")}, {}, {}, 3, 0, "key revoked"},
      {"absent p=", {txt("v=DKIM1; k=rsa")}, {}, {}, 3, 0, "key revoked"},
      {"rsa key for ed25519 signature",
       {txt("k=rsa; " + rsa)},
       SignatureAlgorithm::Ed25519Sha256,
       {},
       3,
       0,
       "key type mismatch"},
      {"default rsa for ed25519 signature",
       {txt(rsa)},
       SignatureAlgorithm::Ed25519Sha256,
       {},
       3,
       0,
       "key type mismatch"},
      {"upper-case RSA", {txt("k=RSA; " + rsa)}, {}, {}, 3, 0, "key type mismatch"},
      {"ed25519 for ed25519", {txt(ed)}, SignatureAlgorithm::Ed25519Sha256, {}, 3, 1, {}, kEd},
      {"s= email and asterisk", {txt("s=email:*; " + rsa)}, {}, {}, 3, 1, {}, kRsa},
      {"s= asterisk", {txt("s= * ; " + rsa)}, {}, {}, 3, 1, {}, kRsa},
      {"s= other service",
       {txt("s=tlsrpt; " + rsa)},
       {},
       {},
       3,
       0,
       "key not valid for the email service (s=)"},
      {"h= sha1 only",
       {txt("h=sha1; " + rsa)},
       {},
       {},
       3,
       0,
       "hash algorithm not permitted by the key record (h=)"},
      {"h= sha1 and sha256", {txt("h=sha1 : sha256; " + rsa)}, {}, {}, 3, 1, {}, kRsa},
      {"t=s with i= at d=", {txt("t=s; " + rsa)}, {}, "user@EXAMPLE.com", 3, 1, {}, kRsa},
      {"t=s with i= at a subdomain",
       {txt("t=s; " + rsa)},
       {},
       "user@sub.example.com",
       3,
       0,
       "i= is not exactly d= and the key record sets t=s"},
      {"t=s with empty i=",
       {txt("t=s; " + rsa)},
       {},
       "",
       3,
       0,
       "i= is not exactly d= and the key record sets t=s"},
      {"t=s without i=", {txt("t=s; " + rsa)}, {}, std::nullopt, 3, 1, {}, kRsa},
      {"t=s uses the last at sign", {txt("t=s; " + rsa)}, {}, "a@b@example.com", 3, 1, {}, kRsa},
      {"revoked then valid", {txt("p="), txt("p=second")}, {}, {}, 3, 1, {}, "second"},
      {"valid then revoked", {txt("p=first"), txt("p=")}, {}, {}, 3, 1, {}, "first"},
      {"both invalid: first reason", {txt("p="), txt("v=x; p=a")}, {}, {}, 3, 0, "key revoked"},
      {"limit 1 stops after an invalid first", {txt("p="), txt(rsa)}, {}, {}, 1, 0, "key revoked"},
      {"limit 0 examines nothing", {txt(rsa)}, {}, {}, 0, 0, "no TXT record"},
      {"only a CNAME", {{5, "target.example."}}, {}, {}, 3, 0, "no TXT record"},
      {"empty answer", {}, {}, {}, 3, 0, "no TXT record"},
      {"other types are not counted", {{5, "x"}, {1, "y"}, txt(rsa)}, {}, {}, 1, 1, {}, kRsa},
  };
  for (const SelectionCase& tc : cases) {
    SCOPED_TRACE(tc.name);
    KeySelectionInput in{tc.algorithm, "example.com", tc.identity, tc.max};
    KeySelection got = selectKeyRecords(tc.answers, in);
    ASSERT_EQ(got.count, tc.want_count);
    if (tc.want_count == 0) {
      EXPECT_EQ(got.reason, tc.want_reason);
    } else {
      EXPECT_EQ(got.reason, "");
      EXPECT_EQ(got.candidates()[0].public_key, tc.first_key);
    }
  }
}

TEST(KeyRecordTest, AtMostEightRecordsAreExamined) {
  std::vector<KeyAnswer> answers;
  for (int i = 0; i < 10; ++i) answers.push_back(txt("p=k" + std::to_string(i)));
  KeySelection got = selectKeyRecords(answers, {SignatureAlgorithm::RsaSha256, "d", {}, 255});
  ASSERT_EQ(got.count, kMaxKeyRecords);
  EXPECT_EQ(got.candidates()[7].public_key, "k7");
}

}  // namespace
}  // namespace quellsig
