// The manual pages and the Postfix guide against the system they describe:
// mandoc finds nothing to complain about, every configuration key is
// documented, every configuration the project ships is accepted by the
// parser, and the guide's Postfix settings fit its quellsig configuration.
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "config/config_file.h"
#include "config/config_keys.h"
#include "config/daemon_config.h"
#include "config/listener_spec.h"
#include "tests/packaging/command.h"
#include "tests/support/guide_blocks.h"

namespace quellsig {
namespace {

using testing::readFile;
using testing::runCommand;

const std::string kSource = QUELLSIG_SOURCE_DIR;

const std::vector<std::string> kManPages = {
    "quellsig.8",         "quellsig.conf.5",    "quellsig-check.1",
    "quellsig-sign.1",    "quellsig-testkey.8", "quellsig-genkey.8",
};

// Every key the configuration parser accepts, from its one key table.
std::set<std::string> configurationKeys() {
  std::set<std::string> keys;
  for (const ConfigKey& key : kConfigKeys) keys.emplace(key.name);
  return keys;
}

TEST(ManPagesTest, MandocLintIsClean) {
  ASSERT_TRUE(testing::onPath("mandoc")) << "mandoc is missing: run scripts/install-deps";
  for (const auto& page : kManPages) {
    SCOPED_TRACE(page);
    const std::string path = kSource + "/man/" + page;
    ASSERT_TRUE(std::filesystem::exists(path));
    // Run in man/ so that mandoc resolves the pages' references to each
    // other there (it looks for ./<name>.<section>).
    auto run = runCommand({"mandoc", "-Tlint", page}, kSource + "/man");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out + run.err, "");
  }
}

TEST(ManPagesTest, EveryConfigurationKeyIsDocumented) {
  const auto keys = configurationKeys();
  ASSERT_FALSE(keys.empty());
  const std::string page = readFile(kSource + "/man/quellsig.conf.5");
  const std::string reference = readFile(kSource + "/docs/configuration.md");
  for (const auto& key : keys) {
    SCOPED_TRACE(key);
    EXPECT_NE(page.find("\n.It Cm " + key + " No = "), std::string::npos) << "quellsig.conf.5";
    EXPECT_NE(reference.find("| `" + key + "` |"), std::string::npos) << "docs/configuration.md";
  }
  // The page documents no key the parser would refuse, and each entry
  // gives the default (or says the key is required) and what a reload does.
  const std::string marker = "\n.It Cm ";
  std::vector<std::pair<std::string, std::size_t>> entries;  // key, position
  for (auto at = page.find(marker); at != std::string::npos; at = page.find(marker, at + 1)) {
    const auto start = at + marker.size();
    const auto end = page.find(' ', start);
    if (page.compare(end, 5, " No =") != 0) continue;
    entries.emplace_back(page.substr(start, end - start), at);
  }
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const auto& [key, at] = entries[i];
    SCOPED_TRACE(key);
    EXPECT_TRUE(keys.contains(key)) << "quellsig.conf.5 documents an unknown key";
    const auto next = i + 1 < entries.size() ? entries[i + 1].second : page.find("\n.Sh ", at);
    const std::string entry = page.substr(at, next - at);
    EXPECT_TRUE(entry.find("Default") != std::string::npos ||
                entry.find("Required.") != std::string::npos);
    EXPECT_TRUE(entry.find("Reload: yes") != std::string::npos ||
                entry.find("Reload: restart") != std::string::npos);
  }
}

Result<DaemonConfig> parseText(const std::string& text) {
  auto file = parseConfigText(text);
  if (!file) return fail(file.error());
  return parseDaemonConfig(*file);
}

std::string guide() { return readFile(kSource + "/docs/postfix.md"); }

TEST(ShippedConfigurationTest, EveryShippedConfigurationParses) {
  struct Case {
    std::string name;
    std::string text;
  };
  const auto block = testutil::guideBlock(guide(), "quellsig.conf");
  ASSERT_TRUE(block.has_value()) << "docs/postfix.md has no quellsig.conf block";
  const std::vector<Case> cases = {
      {"packaging/quellsig.conf", readFile(kSource + "/packaging/quellsig.conf")},
      {"examples/quellsig.conf", readFile(kSource + "/examples/quellsig.conf")},
      {"examples/quellsig-signing.conf", readFile(kSource + "/examples/quellsig-signing.conf")},
      {"docs/postfix.md quellsig.conf block", *block},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    ASSERT_FALSE(tc.text.empty());
    auto config = parseText(tc.text);
    ASSERT_TRUE(config.has_value()) << errorName(config.error());
    // The service starts the daemon as its account already: a privilege drop
    // from there would fail.
    if (tc.name == "packaging/quellsig.conf") {
      EXPECT_FALSE(config->user.has_value());
      EXPECT_EQ(config->pid_file, "/run/quellsig/quellsig.pid");
    }
  }
}

// A Postfix milter address ("inet:HOST:PORT" or "unix:PATH") in the
// daemon's own listen-address form.
std::string asListenAddress(const std::string& postfix) {
  if (!postfix.starts_with("inet:")) return postfix;
  const auto colon = postfix.rfind(':');
  return "inet:" + postfix.substr(colon + 1) + "@" + postfix.substr(5, colon - 5);
}

// Postfix time values as the guide writes them: digits and an "s".
std::int64_t seconds(const std::string& value) {
  std::int64_t n = -1;
  auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
  if (ec != std::errc{} || std::string_view(end) != "s") return -1;
  return n;
}

TEST(PostfixGuideTest, PostfixSettingsFitTheGuidesDaemonConfiguration) {
  const std::string text = guide();
  const auto main_cf = testutil::guideBlock(text, "postfix-main.cf");
  const auto master_cf = testutil::guideBlock(text, "postfix-master.cf");
  const auto daemon_text = testutil::guideBlock(text, "quellsig.conf");
  ASSERT_TRUE(main_cf && master_cf && daemon_text);
  auto daemon = parseText(*daemon_text);
  ASSERT_TRUE(daemon.has_value());

  std::map<std::string, std::string> settings;
  for (auto& [k, v] : testutil::mainCfSettings(*main_cf)) settings[k] = v;
  EXPECT_EQ(settings["milter_protocol"], "6");
  EXPECT_EQ(settings["milter_default_action"], "tempfail");
  EXPECT_NE(settings["milter_connect_macros"].find("{client_addr}"), std::string::npos);
  EXPECT_NE(settings["milter_connect_macros"].find("{daemon_name}"), std::string::npos);

  // Which listener each Postfix milter setting reaches, and in what mode.
  auto modeAt = [&](const std::string& postfix) -> std::optional<ListenerMode> {
    auto spec = parseListenAddress(asListenAddress(postfix));
    if (!spec) return std::nullopt;
    for (std::size_t i = 0; i < daemon->listeners.size(); ++i) {
      if (daemon->listeners[i] == *spec) return daemon->listener_modes[i];
    }
    return std::nullopt;
  };
  struct Route {
    std::string name;
    std::string address;
    ListenerMode mode;
  };
  const std::string override_key = "-o smtpd_milters=";
  const auto o = master_cf->find(override_key);
  ASSERT_NE(o, std::string::npos) << "master.cf block has no smtpd_milters override";
  const std::string submission =
      master_cf->substr(o + override_key.size(), master_cf->find('\n', o) - o - override_key.size());
  const std::vector<Route> routes = {
      {"smtpd_milters (mail from other hosts)", settings["smtpd_milters"], ListenerMode::Verify},
      {"non_smtpd_milters (local submission)", settings["non_smtpd_milters"], ListenerMode::Sign},
      {"submission override", submission, ListenerMode::Sign},
  };
  for (const auto& r : routes) {
    SCOPED_TRACE(r.name);
    auto mode = modeAt(r.address);
    ASSERT_TRUE(mode.has_value()) << r.address << " is no listener of the guide's configuration";
    EXPECT_EQ(*mode, r.mode);
  }

  // A message's evaluation may take MaxEvaluationMs plus one DNS lookup in
  // flight, and holds up the other connections of its worker that long.
  const std::int64_t worst_ms = daemon->max_evaluation_ms +
                                std::int64_t{daemon->dns_timeout_ms} * (daemon->dns_retries + 1);
  for (const std::string timeout :
       {"milter_connect_timeout", "milter_command_timeout", "milter_content_timeout"}) {
    SCOPED_TRACE(timeout);
    const std::int64_t s = seconds(settings[timeout]);
    ASSERT_GT(s, 0) << settings[timeout];
    EXPECT_GT(s * 1000, worst_ms);
  }
}

}  // namespace
}  // namespace quellsig
