// The input and the per-signature result of the verifier.
//
// A VerificationRequest borrows everything from the caller's message: the
// signature field's value and raw text, the raw header list in message order
// and the body. A VerificationOutcome borrows domain and selector from
// signature_value and holds only static reason texts, so it must not outlive
// the message. Plain values; any thread may hold them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "engine/algorithms.h"
#include "engine/dkim_result.h"

namespace quellsig {

struct VerificationRequest {
  std::string_view signature_value;  // value of the DKIM-Signature field
  std::string_view signature_field;  // its raw field text
  std::span<const std::string> raw_headers;
  std::string_view body;
  std::uint32_t minimum_key_bits = kRsaMinimumKeyBits;
  bool refuse_body_length = false;   // a valid l= gets policy instead of being honoured
  std::uint8_t max_key_records = 3;  // at most 8 are examined
};

struct VerificationOutcome {
  std::string_view domain;            // d=; empty when the signature did not parse
  std::string_view selector;          // s=; empty when the signature did not parse
  std::string_view reason;            // static text; empty exactly for a pass
  std::uint64_t unsigned_octets = 0;  // canonical body octets beyond l=; only for a pass
  DkimResult result = DkimResult::PermError;
  bool testing = false;  // the deciding key record carries t=y
};

}  // namespace quellsig
