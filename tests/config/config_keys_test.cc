#include "config/config_keys.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "config/runtime_settings.h"
#include "tests/config/config_text.h"

namespace quellsig {
namespace {

using testutil::parseText;

// A value the key's grammar accepts.
std::string sampleValue(const ConfigKey& key) {
  if (!key.default_value.empty()) return std::string(key.default_value);
  return key.grammar == KeyGrammar::OctalInteger ? "022" : "1";
}

TEST(ConfigKeysTest, NamesAreUniqueAndFound) {
  std::set<std::string_view> names;
  for (const ConfigKey& key : kConfigKeys) {
    SCOPED_TRACE(key.name);
    EXPECT_TRUE(names.insert(key.name).second);
    EXPECT_EQ(findConfigKey(key.name), &key);
  }
  EXPECT_EQ(findConfigKey("authservid"), nullptr);
  EXPECT_EQ(names.size(), 36u);
}

// The key check reads the table: each key is accepted where its row says and
// refused elsewhere.
TEST(ConfigKeysTest, EachKeyIsAcceptedOnlyInItsSections) {
  for (const ConfigKey& key : kConfigKeys) {
    SCOPED_TRACE(key.name);
    const std::string setting = std::string(key.name) + " = " + sampleValue(key) + "\n";
    const std::string socket = key.name == "Socket" ? "" : "Socket = 1\n";
    auto global = parseText(setting);
    auto listener = parseText("[listener:a]\n" + socket + setting);
    EXPECT_EQ(global.has_value(), key.section != KeySection::Listener);
    EXPECT_EQ(listener.has_value(), key.section != KeySection::Global);
    if (!global) {
      EXPECT_EQ(global.error(), Error::InvalidConfiguration);
    }
    if (!listener) {
      EXPECT_EQ(listener.error(), Error::InvalidConfiguration);
    }
  }
}

// The defaults of the table are texts in the file's own grammar: a file that
// spells every one of them out parses to the record of an empty file.
TEST(ConfigKeysTest, DefaultsWrittenOutGiveTheEmptyFilesRecord) {
  std::string text;
  std::size_t written = 0;
  for (const ConfigKey& key : kConfigKeys) {
    if (key.default_value.empty() || key.section == KeySection::Listener) continue;
    text += std::string(key.name) + " = " + std::string(key.default_value) + "\n";
    ++written;
  }
  EXPECT_GE(written, 25u);
  auto spelled = parseText(text);
  auto empty = parseText("");
  ASSERT_TRUE(spelled.has_value()) << errorName(spelled.error());
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(*spelled == *empty);
  EXPECT_TRUE(*empty == defaultDaemonConfig());
}

TEST(ConfigKeysTest, RuntimeSettingsAreTheConfigurationsValues) {
  auto c = parseText(
      "AuthservID = mx\nDnsTimeout = 7\nMaxEvaluationMs = 1_500\nOverSignHeaders = from:to\n"
      "MinimumKeyBits = 512\nMultiSign = yes\n[listener:a]\nSocket = 1\nMode = both\n"
      "Domain = d.example\n");
  ASSERT_TRUE(c.has_value()) << errorName(c.error());
  LogSettings log;
  log.level = 7;
  const RuntimeSettings s = runtimeSettingsFrom(*c, log);
  EXPECT_EQ(s.authserv_id, "mx");
  EXPECT_EQ(s.dns_timeout_ms, 7000u);
  EXPECT_EQ(s.max_evaluation_ms, 1500);
  EXPECT_EQ(s.oversign_headers, "from:to");
  EXPECT_EQ(s.signed_headers, c->signed_headers);
  EXPECT_EQ(s.minimum_key_bits, 1024u);
  EXPECT_TRUE(s.multi_sign);
  EXPECT_EQ(s.listener_modes, std::vector<ListenerMode>{ListenerMode::Both});
  EXPECT_EQ(s.domain, "d.example");
  EXPECT_EQ(s.log.level, 7);
}

}  // namespace
}  // namespace quellsig
