// The reload of the signing configuration against a tracker with two
// acknowledgement slots and two wake pipes standing in for the workers: what
// is published, what each worker is told, what is logged, and what a failure
// leaves behind.
#include "daemon/reload.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "config/config_file.h"
#include "config/daemon_config.h"
#include "daemon/signing_startup.h"
#include "platform/pipe.h"
#include "tests/config/signing_test_keys.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace quellsig {
namespace {

using testing_keys::copyKey;

constexpr std::string_view kReloading = "SIGHUP received, reloading configuration...";

class ReloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(log_.ok());
    key_a_ = copyKey(dir_.path(), "a.pem", 1024);
    key_file_ = copyKey(dir_.path(), "single.pem", 1024);
    writeTables("*@a.example ka\n", "ka a.example:sa:" + key_a_ + "\n");
    conf_ = dir_.write("q.conf", configText(""));

    auto file = readConfigFile(conf_);
    ASSERT_TRUE(file.has_value());
    auto config = parseDaemonConfig(*file);
    ASSERT_TRUE(config.has_value());
    ASSERT_TRUE(publishInitialSigningConfig(*config, tracker_).has_value());
    ASSERT_TRUE(tracker_.createAcknowledgementSlots(2).has_value());
    for (auto& p : pipes_) {
      auto made = platform::createPipe({.nonblocking_read = true, .nonblocking_write = true});
      ASSERT_TRUE(made.has_value());
      p = std::move(*made);
      write_ends_.push_back(p.write_end.get());
    }
    log_.clear();
  }

  std::string configText(const std::string& extra_global) const {
    return extra_global +
           "[listener:a]\n"
           "Socket = inet:8891@127.0.0.1\n"
           "SigningTable = " + dir_.file("SigningTable") + "\n"
           "KeyTable = " + dir_.file("KeyTable") + "\n"
           "Domain = single.example\n"
           "Selector = one\n"
           "KeyFile = " + key_file_ + "\n";
  }
  void writeTables(const std::string& signing, const std::string& keys) {
    dir_.write("SigningTable", signing);
    dir_.write("KeyTable", keys);
  }

  Result<void> reload() { return reloadSigningConfig(conf_, tracker_, write_ends_); }

  // The wake bytes each worker's pipe holds; every one must be 0x01.
  std::vector<int> wakeBytes() {
    std::vector<int> counts;
    for (auto& p : pipes_) {
      char buf[64];
      int n = 0;
      for (;;) {
        auto got = platform::readPipe(p.read_end.get(), buf);
        if (!got || *got == 0) break;
        for (std::size_t i = 0; i < *got; ++i) EXPECT_EQ(buf[i], 0x01);
        n += static_cast<int>(*got);
      }
      counts.push_back(n);
    }
    return counts;
  }

  // The selector the current configuration signs a sender's mail with; ""
  // when it has no key for it.
  std::string selectorFor(std::string_view sender) const {
    SigningSettings settings;
    settings.domain = "single.example";
    settings.selector = "one";
    auto chosen = tracker_.current()->select(settings, sender);
    return chosen.empty() ? "" : std::string(chosen.entries()[0].selector);
  }

  testing::LogCapture log_;
  testutil::TempDir dir_{"reload"};
  std::string key_a_, key_file_, conf_;
  std::multiset<const SigningConfig*> released_;
  GenerationTracker tracker_{[this](const SigningConfig* c) {
    released_.insert(c);
    delete c;
  }};
  std::array<platform::Pipe, 2> pipes_;
  std::vector<int> write_ends_;
};

TEST_F(ReloadTest, UnchangedFilePublishesGenerationTwoAndWakesEachWorkerOnce) {
  const SigningConfig* first = tracker_.current();
  ASSERT_TRUE(reload().has_value());

  EXPECT_EQ(tracker_.generation(), 2u);
  EXPECT_NE(tracker_.current(), first) << "a new configuration is built even when nothing changed";
  EXPECT_EQ(tracker_.awaitingReclamation(), 1u) << "no worker has acknowledged generation 2";
  EXPECT_TRUE(released_.empty());
  EXPECT_EQ(wakeBytes(), (std::vector<int>{1, 1}));
  const std::vector<std::string> want = {
      std::string(kReloading),
      "loaded 1 KeyTable signing key(s)",
      "loaded 1024-bit signing key from " + key_file_,
      "signing configuration reloaded (generation 2, 1 awaiting reclamation)",
  };
  EXPECT_EQ(log_.messages(), want);
  EXPECT_EQ(selectorFor("u@a.example"), "sa");
}

TEST_F(ReloadTest, FailuresKeepThePreviousConfigurationAndOnlyAdvanceTheGeneration) {
  const std::string weak = copyKey(dir_.path(), "weak.pem", 512);
  struct Case {
    std::string name;
    std::function<void()> change;
    Error error;
    std::vector<std::string> messages;  // between the first record and the end
  };
  const Case cases[] = {
      {"configuration file removed", [&] { std::filesystem::remove(conf_); }, Error::FileNotFound,
       {"reload: failed to re-read config file, keeping previous"}},
      {"unrecognized key", [&] { dir_.write("q.conf", configText("Bogus = 1\n")); },
       Error::InvalidConfiguration,
       {"config: [global] unrecognized key \"Bogus\" (typo?); refusing to start",
        "reload: failed to parse config, keeping previous"}},
      {"512-bit key added to the KeyTable",
       [&] {
         writeTables("*@a.example ka\n*@b.example kb\n",
                     "ka a.example:sa:" + key_a_ + "\nkb b.example:sb:" + weak + "\n");
       },
       Error::RsaKeyTooSmall,
       {"KeyTable key " + weak + " is below the RFC 8301 minimum of 1024 bits: refusing to sign "
                                 "with it",
        "reload: failed to load signing configuration (error.RsaKeyTooSmall), keeping previous"}},
      {"KeyFile replaced by a 512-bit key at the same path",
       [&] { copyKey(dir_.path(), "single.pem", 512); }, Error::RsaKeyTooSmall,
       {"loaded 1 KeyTable signing key(s)",
        "signing key " + key_file_ + " is below the RFC 8301 minimum of 1024 bits: refusing to "
                                     "sign with it",
        "reload: failed to load signing configuration (error.RsaKeyTooSmall), keeping previous"}},
      {"SigningTable names an entry the KeyTable lacks",
       [&] { writeTables("*@a.example ka\n*@c.example kc\n", "ka a.example:sa:" + key_a_ + "\n"); },
       Error::SigningEntryHasNoKey,
       {"loaded 1 KeyTable signing key(s)",
        "SigningTable pattern *@c.example maps to signing entry kc, which the KeyTable does not "
        "define",
        "reload: failed to load signing configuration (error.SigningEntryHasNoKey), keeping "
        "previous"}},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    dir_.write("q.conf", configText(""));
    writeTables("*@a.example ka\n", "ka a.example:sa:" + key_a_ + "\n");
    copyKey(dir_.path(), "single.pem", 1024);
    tc.change();
    const SigningConfig* before = tracker_.current();
    const std::uint64_t generation = tracker_.generation();
    const std::size_t awaiting = tracker_.awaitingReclamation();
    log_.clear();

    auto r = reload();
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), tc.error) << errorName(r.error());
    EXPECT_EQ(tracker_.generation(), generation + 1);
    EXPECT_EQ(tracker_.current(), before);
    EXPECT_EQ(tracker_.awaitingReclamation(), awaiting);
    EXPECT_EQ(wakeBytes(), (std::vector<int>{0, 0})) << "a failed reload wakes nobody";
    std::vector<std::string> want = {std::string(kReloading)};
    want.insert(want.end(), tc.messages.begin(), tc.messages.end());
    EXPECT_EQ(log_.messages(), want);
    EXPECT_EQ(selectorFor("u@a.example"), "sa");
    EXPECT_EQ(selectorFor("u@b.example"), "");
  }
  EXPECT_TRUE(released_.empty());
}

TEST_F(ReloadTest, TwoFailuresThenASuccessReportAGenerationThreeHigher) {
  const std::uint64_t start = tracker_.generation();
  dir_.write("q.conf", configText("Bogus = 1\n"));
  EXPECT_FALSE(reload().has_value());
  std::filesystem::remove(conf_);
  EXPECT_FALSE(reload().has_value());
  dir_.write("q.conf", configText(""));
  log_.clear();
  ASSERT_TRUE(reload().has_value());
  EXPECT_EQ(tracker_.generation(), start + 3);
  EXPECT_EQ(log_.count("signing configuration reloaded (generation " + std::to_string(start + 3) +
                       ", 1 awaiting reclamation)"),
            1)
      << ::testing::PrintToString(log_.messages());
  EXPECT_EQ(wakeBytes(), (std::vector<int>{1, 1})) << "only the success wakes the workers";
}

TEST_F(ReloadTest, NewKeyForANewDomainAndReclamationOnceEveryWorkerMovedOn) {
  EXPECT_EQ(selectorFor("u@b.example"), "");
  const std::string key_b = copyKey(dir_.path(), "b.pem", 1024);
  writeTables("*@a.example ka\n*@b.example kb\n",
              "ka a.example:sa:" + key_a_ + "\nkb b.example:sb:" + key_b + "\n");
  const SigningConfig* first = tracker_.current();
  ASSERT_TRUE(reload().has_value());
  const SigningConfig* second = tracker_.current();
  EXPECT_EQ(selectorFor("u@b.example"), "sb");
  EXPECT_EQ(selectorFor("u@a.example"), "sa");
  EXPECT_EQ(selectorFor("u@single.example"), "one") << "Domain and Selector stay those of start-up";

  // Only worker 0 moved on: the first configuration must wait for worker 1.
  tracker_.acknowledge(0);
  log_.clear();  // the capture's socket holds only a few records
  ASSERT_TRUE(reload().has_value());
  EXPECT_EQ(released_.count(first), 0u);
  EXPECT_EQ(tracker_.awaitingReclamation(), 2u);

  // Both workers acknowledged generation 3: the next reload frees the two
  // replaced before it and keeps only the one it replaces.
  tracker_.acknowledge(0);
  tracker_.acknowledge(1);
  log_.clear();
  ASSERT_TRUE(reload().has_value());
  EXPECT_EQ(released_, (std::multiset<const SigningConfig*>{first, second}));
  EXPECT_EQ(log_.count("signing configuration reloaded (generation 4, 1 awaiting reclamation)"), 1)
      << ::testing::PrintToString(log_.messages());
}

}  // namespace
}  // namespace quellsig
