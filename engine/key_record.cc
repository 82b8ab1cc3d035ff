#include "engine/key_record.h"

#include <algorithm>

#include "engine/message.h"
#include "engine/tag_list.h"

namespace quellsig {
namespace {

constexpr std::string_view kDomainKeyLabel = "._domainkey.";
constexpr std::size_t kMaxNameLength = 253;

// True when one colon-separated piece, trimmed of space and tab, equals one
// of the wanted texts exactly.
bool listContains(std::string_view list, std::string_view a, std::string_view b = {}) {
  while (true) {
    std::size_t colon = list.find(':');
    std::string_view piece = detail::trimSpaceTab(list.substr(0, colon));
    if (piece == a || (!b.empty() && piece == b)) return true;
    if (colon == std::string_view::npos) return false;
    list.remove_prefix(colon + 1);
  }
}

// The tests of one record in their fixed order; empty when it is acceptable.
std::string_view rejectionOf(const KeyRecord& r, const KeySelectionInput& in) {
  if (!r.version.empty() && r.version != "DKIM1") return "malformed key record";
  if (r.public_key.empty()) return "key revoked";
  std::string_view want_type =
      in.algorithm == SignatureAlgorithm::Ed25519Sha256 ? "ed25519" : "rsa";
  if (r.key_type != want_type) return "key type mismatch";
  if (!listContains(r.services, "*", "email")) return "key not valid for the email service (s=)";
  if (!r.hash_algorithms.empty() && !listContains(r.hash_algorithms, "sha256")) {
    return "hash algorithm not permitted by the key record (h=)";
  }
  if (in.identity && keyRecordHasFlag(r, "s")) {
    std::size_t at = in.identity->rfind('@');
    if (at == std::string_view::npos || !namesEqual(in.identity->substr(at + 1), in.domain)) {
      return "i= is not exactly d= and the key record sets t=s";
    }
  }
  return {};
}

}  // namespace

Result<std::string> keyRecordName(std::string_view selector, std::string_view domain) {
  if (selector.size() + kDomainKeyLabel.size() + domain.size() > kMaxNameLength) {
    return fail(Error::NameTooLong);
  }
  std::string name;
  name.reserve(selector.size() + kDomainKeyLabel.size() + domain.size());
  name.append(selector).append(kDomainKeyLabel).append(domain);
  return name;
}

KeyRecord readKeyRecord(std::string_view text) {
  KeyRecord r;
  forEachTag(text, [&r](std::string_view name, std::string_view value) {
    if (name == "v") {
      r.version = value;
    } else if (name == "k") {
      r.key_type = value;
    } else if (name == "p") {
      r.public_key = value;
    } else if (name == "h") {
      r.hash_algorithms = value;
    } else if (name == "s") {
      r.services = value;
    } else if (name == "t") {
      r.flags = value;
    }
  });
  return r;
}

bool keyRecordHasFlag(const KeyRecord& record, std::string_view flag) {
  return !record.flags.empty() && listContains(record.flags, flag);
}

LookupFailure classifyLookupError(Error e) {
  switch (e) {
    case Error::DnsNameError:
    case Error::NameTooLong:
    case Error::EmptyLabel:
    case Error::LabelTooLong:
    case Error::TooManyLabels:
      return {DkimResult::PermError, "no key record for selector"};
    default:
      return {DkimResult::TempError, "DNS lookup failed"};
  }
}

KeySelection selectKeyRecords(std::span<const KeyAnswer> answers, const KeySelectionInput& input) {
  KeySelection out;
  std::size_t limit = std::min<std::size_t>(input.max_key_records, kMaxKeyRecords);
  std::size_t examined = 0;
  for (const KeyAnswer& answer : answers) {
    if (examined == limit) break;
    if (answer.type != kKeyAnswerTypeTxt) continue;
    ++examined;
    KeyRecord record = readKeyRecord(answer.data);
    std::string_view reason = rejectionOf(record, input);
    if (reason.empty()) {
      out.records[out.count++] = record;
    } else if (out.reason.empty()) {
      out.reason = reason;
    }
  }
  if (examined == 0) {
    out.reason = "no TXT record";
  } else if (out.count > 0) {
    out.reason = {};
  }
  return out;
}

}  // namespace quellsig
