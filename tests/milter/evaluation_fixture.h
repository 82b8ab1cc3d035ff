// Fixtures for the end-of-message tests: a sink that records publications,
// the MTA's side of one message (its packets, the reply packets split apart,
// and the header changes applied as the MTA applies them), keys published
// through a real nsd, and a filter connection whose end-of-message hook is
// the evaluation.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "config/runtime_settings.h"
#include "config/signing_config.h"
#include "engine/key_lookup.h"
#include "engine/private_key.h"
#include "engine/public_key_cache.h"
#include "milter/evaluation.h"
#include "milter/result_sink.h"
#include "tests/milter/milter_fixture.h"
#include "tests/support/nsd_server.h"
#include "tests/support/temp_dir.h"

namespace quellsig::testing {

struct Published {
  ResultAction action = ResultAction::Verify;
  DkimResult result = DkimResult::None;
  std::string domain;
  std::string selector;
  bool operator==(const Published&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Published& p);

class RecordingSink final : public ResultSink {
 public:
  void publish(const ResultRecord& r) noexcept override {
    records.push_back({r.action, r.result, std::string(r.domain), std::string(r.selector)});
  }
  std::vector<Published> records;
};

struct ReplyPacket {
  char command = 0;
  std::string payload;
};
// Splits a reply stream into packets; a torn packet at the end fails the test.
std::vector<ReplyPacket> splitReplies(std::string_view bytes);

// The payload of an 'i' packet: index 0, name, value (as sent).
std::string insertPayload(std::string_view name, std::string_view value);
// The payload of an 'm' packet deleting occurrence k of Authentication-Results.
std::string deletePayload(std::uint32_t occurrence);

// One message as the MTA hands it over: the header fields one 'L' each, with
// folds as bare LF and the space after the colon removed (or kept, when the
// leading-space flag is negotiated), then the body in chunks.
struct MtaMessage {
  std::string text;  // the message with CR LF line ends
  std::string sender = "<alice@example.test>";
  std::uint32_t actions = 0x1ff;
  std::uint32_t protocol_flags = 0;
  std::string queue_id = "4XyZ1";
  std::string daemon_name = "mx";
};
// Every packet up to (not including) 'E'.
std::string mtaPackets(const MtaMessage& m);

// The message after the header changes in `replies`, applied in order as the
// MTA applies them: 'i' at index 0 puts "Name: value" on top (LF becoming
// CR LF), 'm' with an empty value deletes the k-th field of that name.
std::string applyHeaderChanges(std::string text, const std::vector<ReplyPacket>& replies,
                               bool leading_space_negotiated);

// `text` with a DKIM-Signature field made by the engine's signer on top.
std::string signedWith(const std::string& text, const PrivateKey& key, SignatureAlgorithm a,
                       std::string_view domain, std::string_view selector,
                       bool body_length = false);

inline constexpr std::string_view kLongDomainLabels = "mail.departments.long-subsidiary-name";
inline constexpr std::string_view kLongDomain =
    "mail.departments.long-subsidiary-name.example.test";

// Keys of example.test published by one nsd for the whole test binary:
// selector "rsa" (2048 bits), "rsa2" (1024 bits), "ed" (Ed25519) and "test"
// (the rsa key with t=y), and "rsa" of kLongDomain; the RSA keys are also PEM files for a KeyTable.
class KeyZone {
 public:
  static KeyZone& get();
  bool ok() const { return server_ != nullptr; }
  const std::string& error() const { return error_; }
  const NsdServer& server() const { return *server_; }
  const testutil::TempDir& dir() const { return dir_; }
  std::string keyPath(std::string_view selector) const;
  const PrivateKey& rsa() const { return rsa_; }
  const PrivateKey& rsa2() const { return rsa2_; }
  const PrivateKey& ed() const { return ed_; }
  // A resolver lookup aimed at the nsd (or at another server).
  std::unique_ptr<KeyLookup> lookup() const;

 private:
  KeyZone();
  testutil::TempDir dir_{"eval"};
  PrivateKey rsa_, rsa2_, ed_;
  std::unique_ptr<NsdServer> server_;
  std::string error_;
};

// Tests that need the KeyZone; each gets a fresh lookup aimed at it.
class KeyZoneTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(zone().ok()) << zone().error();
    lookup_ = zone().lookup();
  }
  static KeyZone& zone() { return KeyZone::get(); }
  std::unique_ptr<KeyLookup> lookup_;
};

std::unique_ptr<KeyLookup> lookupAt(const std::string& address, std::uint16_t port,
                                    std::uint32_t timeout_ms = 5000, std::uint8_t retries = 2);

// A loaded SigningConfig for the given KeyTable and SigningTable texts,
// written into a directory of their own.
std::unique_ptr<const SigningConfig> signingConfig(const testutil::TempDir& dir,
                                                   const std::string& signing_table,
                                                   const std::string& key_table);

// A connection over a socket pair whose end-of-message hook evaluates the
// message with these settings and services.
class EvaluatedPeer {
 public:
  EvaluatedPeer(RuntimeSettings settings, KeyLookup& lookup,
                const SigningConfig* signing = nullptr);

  // Sends everything up to 'E' and discards the replies to it.
  void begin(const MtaMessage& m);
  // Sends 'E'; the packets the filter wrote in answer, the last one the reply.
  std::vector<ReplyPacket> end();
  std::vector<ReplyPacket> run(const MtaMessage& m) {
    begin(m);
    return end();
  }

  RuntimeSettings settings;
  RecordingSink sink;
  PublicKeyCache key_cache;
  std::uint64_t (*clock)() = platform::monotonicNanos;
  std::unique_ptr<MilterPeer> peer;

 private:
  KeyLookup& lookup_;
  const SigningConfig* signing_;
};

}  // namespace quellsig::testing
