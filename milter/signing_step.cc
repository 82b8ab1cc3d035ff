#include "milter/signing_step.h"

#include <string>
#include <string_view>
#include <vector>

#include "engine/signer.h"
#include "log/log.h"
#include "milter/connection_io.h"
#include "milter/message_access.h"

namespace quellsig {
namespace {

// "DKIM-Signature: " before the value in the signer's field text.
constexpr std::size_t kSignaturePrefixBytes = kSignatureFieldName.size() + 2;

std::uint8_t internalError(std::string_view detail) {
  emit(Severity::Err, "not signing: internal error ", detail);
  return kReplyContinue;
}

void signingFailed(const SigningEntry& e, Error error) {
  emit(Severity::Err, "signing failed for ", Printable{e.domain}, "/", Printable{e.selector},
       ": ", ErrorText{error});
}

void signingFailed(const SigningEntry& e, std::string_view detail) {
  emit(Severity::Err, "signing failed for ", Printable{e.domain}, "/", Printable{e.selector},
       detail);
}

void publishSign(ResultSink& results, const SigningEntry& e, DkimResult result) {
  results.publish({ResultAction::Sign, result, e.domain, e.selector});
}

// Signs with one entry and queues its field; false after logging why not.
bool signOne(MilterConnection& c, const Message& message, std::span<const std::string> raw,
             const BodyHash& body_hash, const SigningEntry& e) {
  SigningRequest request;
  request.domain = e.domain;
  request.selector = e.selector;
  request.key = e.key;
  request.algorithm = SignatureAlgorithm::RsaSha256;
  request.header_canonicalization = Canonicalization::Relaxed;
  request.body_canonicalization = Canonicalization::Relaxed;
  request.signed_headers = e.signed_headers;
  request.oversign_headers = e.oversign_headers;
  request.include_timestamp = true;
  request.include_body_length = false;

  Result<std::string> field = signMessage(message, raw, request, body_hash);
  if (!field) {
    signingFailed(e, field.error());
    return false;
  }
  if (field->size() < kSignaturePrefixBytes) {
    signingFailed(e, ": building DKIM-Signature header");
    return false;
  }
  const std::string_view value = std::string_view(*field).substr(kSignaturePrefixBytes);
  Result<std::vector<std::uint8_t>> packet = insertHeaderPacket(c, kSignatureFieldName, value);
  if (!packet) {
    signingFailed(e, ": building header payload");
    return false;
  }
  if (!queuePacket(c, *packet)) {
    signingFailed(e, ": queueing DKIM-Signature header");
    return false;
  }
  return true;
}

}  // namespace

std::uint8_t runSigningStep(MilterConnection& c, const SigningConfig* config,
                            const SigningSettings& settings, ResultSink& results) {
  if (c.body_skipped || c.header_limit_hit) {
    emit(Severity::Warning, "not signing message from ", Printable{connectionName(c)}, "[",
         Printable{connectionPeer(c)}, "]: accumulated copy is incomplete");
    return kReplyContinue;
  }
  const std::optional<std::string_view> address = envelopeAddress(c);
  if (!address || senderDomain(*address).empty() || config == nullptr) return kReplyContinue;
  const SigningSelection selection = config->select(settings, *address);
  if (selection.empty()) return kReplyContinue;
  return signWithEntries(c, selection.entries(), results);
}

std::uint8_t signWithEntries(MilterConnection& c, std::span<const SigningEntry> entries,
                             ResultSink& results) {
  Result<Message> message = messageOf(c);
  if (!message) return internalError("building the header list to sign");
  Result<std::vector<std::string>> raw = buildRawHeaderList(*message);
  if (!raw) return internalError("building the header list to sign");
  Result<BodyHash> body_hash = signingBodyHash(message->body, Canonicalization::Relaxed);
  if (!body_hash) return internalError("computing the body hash");

  std::size_t queued = 0;
  for (auto e = entries.rbegin(); e != entries.rend(); ++e) {
    if (signOne(c, *message, *raw, *body_hash, *e)) {
      publishSign(results, *e, DkimResult::Pass);
      ++queued;
    } else {
      publishSign(results, *e, DkimResult::Fail);
    }
  }
  if (queued == 0) return internalError("no signature could be produced");
  return kReplyAccept;
}

}  // namespace quellsig
