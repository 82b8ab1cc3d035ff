// Verifying a signature with the public key of one key record.
//
// verifyWithKeyRecord never fails: it returns Verified, NotVerified (the
// verifier reports "signature mismatch"), or Rejected with one of the fixed
// reason texts "crypto verify error", "unusable public key",
// "p= is not an RSA key" or "key too small". min_bits applies to RSA only.
// Any thread may call it.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "engine/algorithms.h"

namespace quellsig {

struct KeyVerifyResult {
  enum class Status { Verified, NotVerified, Rejected };
  Status status = Status::NotVerified;
  std::string_view reason;  // static text, set when Rejected
};

KeyVerifyResult verifyWithKeyRecord(SignatureAlgorithm algorithm, std::string_view p_text,
                                    std::span<const std::uint8_t> signature,
                                    std::string_view header_hash_input, unsigned min_bits);

}  // namespace quellsig
