#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "config/signing_config.h"
#include "tests/config/signing_test_keys.h"

namespace quellsig {
namespace {

using testing_keys::copyKey;
using testing_keys::LogCapture;

class SigningSelectTest : public testing_keys::TableDirTest {
 protected:
  void SetUp() override {
    TableDirTest::SetUp();
    key1024_ = copyKey(dir_, "k1024.pem", 1024);
    key2048_ = copyKey(dir_, "k2048.pem", 2048);
  }

  std::unique_ptr<const SigningConfig> load(const std::string& signing_table,
                                            const std::string& key_table,
                                            std::optional<std::string> key_file = std::nullopt) {
    SigningSources sources;
    std::string st, kt;
    if (!signing_table.empty()) {
      st = file("SigningTable", signing_table);
      kt = file("KeyTable", key_table);
      sources.signing_table = st;
      sources.key_table = kt;
    }
    if (key_file) sources.key_file = *key_file;
    auto config = loadSigningConfig(sources);
    EXPECT_TRUE(config.has_value()) << errorName(config.error());
    return config ? std::move(*config) : nullptr;
  }

  std::string key1024_, key2048_;
};

TEST_F(SigningSelectTest, DomainPatternSignsTheDomainButNotItsSubdomains) {
  auto config = load("*@a.b k1\n", "k1 a.b:s1:" + key1024_ + "\n");
  ASSERT_TRUE(config);
  const SigningSettings settings;
  const SigningSelection hit = config->select(settings, "u@A.B");
  ASSERT_EQ(hit.entries().size(), 1u);
  EXPECT_EQ(hit.entries()[0].domain, "a.b");
  EXPECT_EQ(hit.entries()[0].selector, "s1");
  EXPECT_EQ(hit.entries()[0].signed_headers, settings.signed_headers);
  EXPECT_EQ(hit.entries()[0].oversign_headers, settings.oversign_headers);
  EXPECT_EQ(hit.entries()[0].key, &config->keys()[0].key);
  EXPECT_TRUE(config->select(settings, "u@c.a.b").empty());
}

TEST_F(SigningSelectTest, MultiSignUsesEveryKeyOfTheEntryInFileOrder) {
  auto config = load("*@a.b k1\n", "k1 a.b:big:" + key2048_ + "\nk1 a.b:small:" + key1024_ + "\n");
  ASSERT_TRUE(config);
  SigningSettings settings;
  const SigningSelection single = config->select(settings, "u@a.b");
  ASSERT_EQ(single.entries().size(), 1u);
  EXPECT_EQ(single.entries()[0].selector, "big");
  settings.multi_sign = true;
  const SigningSelection both = config->select(settings, "u@a.b");
  ASSERT_EQ(both.entries().size(), 2u);
  EXPECT_EQ(both.entries()[0].selector, "big");
  EXPECT_EQ(both.entries()[1].selector, "small");
  EXPECT_NE(both.entries()[0].key, both.entries()[1].key);
}

TEST_F(SigningSelectTest, NineKeysGiveEightEntriesAndOneWarning) {
  std::string keys;
  for (int i = 1; i <= 9; ++i) {
    keys += "k1 d" + std::to_string(i) + ".example:s" + std::to_string(i) + ":" + key1024_ + "\n";
  }
  auto config = load("*@*.example k1\n", keys);
  ASSERT_TRUE(config);
  SigningSettings settings;
  settings.multi_sign = true;
  LogCapture capture;
  const SigningSelection selection = config->select(settings, "u@x.example");
  const std::string log = capture.stop();
  ASSERT_EQ(selection.entries().size(), 8u);
  EXPECT_EQ(selection.entries()[7].selector, "s8");
  const std::string warning = "more than 8 signing keys for d9.example/s9: excess key ignored";
  const std::size_t at = log.find(warning);
  ASSERT_NE(at, std::string::npos) << log;
  EXPECT_EQ(log.find("more than", at + 1), std::string::npos) << "one warning only: " << log;
}

TEST_F(SigningSelectTest, SingleKeyModeDecidesForItsDomain) {
  SigningSettings settings;
  settings.domain = "Mail.Example";
  {
    SCOPED_TRACE("Domain without KeyFile never signs, even when the table matches");
    auto config = load("* k1\n", "k1 mail.example:t1:" + key1024_ + "\n");
    ASSERT_TRUE(config);
    EXPECT_TRUE(config->select(settings, "u@mail.example").empty());
    EXPECT_EQ(config->select(settings, "u@other.example").entries().size(), 1u);
  }
  {
    SCOPED_TRACE("single key with the default selector");
    auto config = load("", "", key2048_);
    ASSERT_TRUE(config);
    const SigningSelection s = config->select(settings, "u@MAIL.example");
    ASSERT_EQ(s.entries().size(), 1u);
    EXPECT_EQ(s.entries()[0].domain, "Mail.Example");
    EXPECT_EQ(s.entries()[0].selector, "default");
    EXPECT_NE(s.entries()[0].key, nullptr);
    EXPECT_TRUE(config->select(settings, "u@sub.mail.example").empty());
    // Single-key mode compares the text after the last at sign.
    EXPECT_EQ(config->select(settings, "u@x@mail.example").entries().size(), 1u);
    settings.selector = "sel";
    EXPECT_EQ(config->select(settings, "u@mail.example").entries()[0].selector, "sel");
  }
}

}  // namespace
}  // namespace quellsig
