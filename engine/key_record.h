// Key records at <selector>._domainkey.<domain> (RFC 6376 3.6.1): the query
// name, the classification of a failed lookup, and the selection of the
// records that may verify one signature.
//
// Every KeyRecord member borrows from the answer data it was read from, so the
// answers must outlive the selection. selectKeyRecords never fails: when no
// record is acceptable it names the reason (a static text). Pure functions;
// any thread may call them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "engine/algorithms.h"
#include "engine/dkim_result.h"
#include "engine/key_lookup.h"
#include "platform/error.h"

namespace quellsig {

struct KeyRecord {
  std::string_view version;           // v=; empty when absent
  std::string_view key_type = "rsa";  // k=
  std::string_view public_key;        // p= (base64)
  std::string_view hash_algorithms;   // h=; empty means any
  std::string_view services = "*";    // s=
  std::string_view flags;             // t=
};

inline constexpr std::size_t kMaxKeyRecords = 8;

// selector + "._domainkey." + domain, unchanged; NameTooLong above 253 bytes.
Result<std::string> keyRecordName(std::string_view selector, std::string_view domain);

// Reads one TXT record's text; only v, k, p, h, s and t are kept, the last
// occurrence of a tag wins.
KeyRecord readKeyRecord(std::string_view text);

// t= split at colons, pieces trimmed of space and tab, compared exactly.
bool keyRecordHasFlag(const KeyRecord& record, std::string_view flag);

struct LookupFailure {
  DkimResult result;
  std::string_view reason;
};
// How a failed lookup is reported: the name-not-found class is permerror
// "no key record for selector", everything else temperror "DNS lookup failed".
LookupFailure classifyLookupError(Error e);

// What the signature contributes to the tests of the key records.
struct KeySelectionInput {
  SignatureAlgorithm algorithm = SignatureAlgorithm::RsaSha256;
  std::string_view domain;                   // d=
  std::optional<std::string_view> identity;  // i=, when the signature carries it
  std::uint8_t max_key_records = 3;          // at most kMaxKeyRecords are examined
};

struct KeySelection {
  std::array<KeyRecord, kMaxKeyRecords> records{};
  std::size_t count = 0;
  std::string_view reason;  // set exactly when count is 0

  std::span<const KeyRecord> candidates() const { return {records.data(), count}; }
};

KeySelection selectKeyRecords(std::span<const KeyAnswer> answers, const KeySelectionInput& input);

}  // namespace quellsig
