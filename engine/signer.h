// The signer: one Message and one SigningRequest become the complete text of
// a new DKIM-Signature header field ("DKIM-Signature:" and the folded value,
// no final CR LF; folds are CR LF HTAB).
//
// The request borrows everything it names (the key and the texts) for the
// duration of the call. signMessage fails with OutOfMemory or the signing
// errors of signHeaderHashInput and never returns a partial field. Any thread
// may call it; the key is only read.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "engine/algorithms.h"
#include "engine/canonicalization.h"
#include "engine/message.h"
#include "engine/private_key.h"
#include "platform/error.h"

namespace quellsig {

inline constexpr std::string_view kDefaultSignedHeaders = "from:to:subject:date:message-id";
inline constexpr std::string_view kDefaultOversignHeaders = "from";

struct SigningRequest {
  std::string_view domain;
  std::string_view selector;
  const PrivateKey* key = nullptr;
  SignatureAlgorithm algorithm = SignatureAlgorithm::RsaSha256;
  Canonicalization header_canonicalization = Canonicalization::Relaxed;
  Canonicalization body_canonicalization = Canonicalization::Relaxed;
  std::string_view signed_headers = kDefaultSignedHeaders;
  std::string_view oversign_headers = kDefaultOversignHeaders;  // empty: no oversigning
  bool include_timestamp = true;
  bool include_body_length = false;
};

// The h= list: signed_headers trimmed of whitespace and colons at both ends,
// then every oversigned name appended until it is listed once more than the
// message holds it.
Result<std::string> buildSignedHeaderList(std::string_view signed_headers,
                                          std::string_view oversign_headers,
                                          std::span<const std::string> raw_headers);

// The body hash a signature carries: the whole canonical body, no limit.
// Compute it once per message and reuse it for every key.
inline Result<BodyHash> signingBodyHash(std::string_view body, Canonicalization mode) {
  return bodyHash(body, mode);
}

Result<std::string> signMessage(const Message& message, std::span<const std::string> raw_headers,
                                const SigningRequest& request, const BodyHash& body_hash);

}  // namespace quellsig
