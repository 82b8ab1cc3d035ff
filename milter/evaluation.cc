#include "milter/evaluation.h"

#include <limits>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/verifier.h"
#include "log/log.h"
#include "milter/auth_results.h"
#include "milter/connection_io.h"
#include "milter/message_access.h"
#include "milter/signing_step.h"
#include "platform/byte_writer.h"

namespace quellsig {
namespace {

constexpr std::uint64_t kNanosPerMilli = 1'000'000;

bool isSignature(const HeaderField& f) { return namesEqual(f.name, kSignatureFieldName); }

struct Evaluation {
  MilterConnection& c;
  const EvaluationServices& services;
  const RuntimeSettings& settings = services.settings;

  std::uint8_t verify();
  bool removeForgedFields();
  bool record(DkimResult whole_message);
  bool record(const VerificationOutcome& outcome);
  bool queueResult(const Result<std::string>& value);
  std::uint8_t recordOnly(DkimResult whole_message) {
    return record(whole_message) ? kReplyContinue : kReplyTempfail;
  }
  std::int64_t nowMillis() const {
    return static_cast<std::int64_t>(services.clock_nanos() / kNanosPerMilli);
  }
};

// Queues the field's insert packet; on failure logs the deferral.
bool Evaluation::queueResult(const Result<std::string>& value) {
  Result<void> queued = value ? Result<void>() : Result<void>(fail(value.error()));
  if (queued) {
    Result<std::vector<std::uint8_t>> packet = insertHeaderPacket(c, kAuthResultsName, *value);
    queued = packet ? queuePacket(c, *packet) : Result<void>(fail(packet.error()));
  }
  if (!queued) {
    emit(Severity::Err, "deferring: could not record the dkim result (", ErrorText{queued.error()},
         "); delivering without it would misrepresent what was checked");
    return false;
  }
  return true;
}

bool Evaluation::record(DkimResult whole_message) {
  if (!queueResult(authResultsValue(settings.authserv_id, whole_message))) return false;
  services.results.publish({ResultAction::Verify, whole_message, {}, {}});
  return true;
}

bool Evaluation::record(const VerificationOutcome& outcome) {
  if (!queueResult(authResultsValue(settings.authserv_id, outcome))) return false;
  services.results.publish({ResultAction::Verify, outcome.result, outcome.domain,
                            outcome.selector});
  return true;
}

// False when the message must be deferred because the forgeries could not
// even be looked for.
bool Evaluation::removeForgedFields() {
  std::vector<ForgedField> forged;
  {
    Result<Message> message = messageOf(c);
    Result<std::vector<ForgedField>> found = fail(Error::OutOfMemory);
    if (message) {
      found = findForgedAuthResults(message->headers, settings.authserv_id,
                                    settings.strip_auth_results);
    }
    if (!found) {
      emit(Severity::Err, "deferring: could not look for forged Authentication-Results headers (",
           ErrorText{found.error()}, ")");
      return false;
    }
    forged = std::move(*found);
  }
  if (forged.empty()) return true;
  if ((c.actions & kActionChangeHeaders) == 0) {
    emit(Severity::Err, "cannot remove ", forged.size(),
         " forged Authentication-Results header(s) claiming authserv-id ", settings.authserv_id,
         ": MTA did not grant SMFIF_CHGHDRS");
    return true;
  }
  std::size_t removed = 0;
  for (auto f = forged.rbegin(); f != forged.rend(); ++f) {
    std::vector<std::uint8_t> packet;
    ByteWriter w(packet);
    if (!encodeDeleteHeader(w, f->occurrence) || !queuePacket(c, packet)) continue;
    c.headers.erase(c.headers.begin() + static_cast<std::ptrdiff_t>(f->position));
    ++removed;
  }
  if (removed != 0) {
    emit(Severity::Info, "removed ", removed,
         " forged Authentication-Results header(s) claiming authserv-id ", settings.authserv_id);
  }
  return true;
}

std::uint8_t Evaluation::verify() {
  if (!removeForgedFields()) return kReplyTempfail;
  if (c.body_skipped || c.header_limit_hit) return recordOnly(DkimResult::TempError);

  Result<Message> message = messageOf(c);
  if (!message) return recordOnly(DkimResult::TempError);
  const std::uint64_t max_signatures = c.limits.max_signatures;
  if (max_signatures != 0) {
    std::uint64_t count = 0;
    for (const HeaderField& f : message->headers) count += isSignature(f) ? 1 : 0;
    if (count > max_signatures) {
      emit(Severity::Warning, "more than MaxSignatures=", max_signatures,
           " DKIM-Signature headers from ", Printable{connectionName(c)}, "[",
           Printable{connectionPeer(c)}, "]: not verifying");
      return recordOnly(DkimResult::PermError);
    }
  }

  // A field whose text cannot be made is left out of the list.
  std::vector<std::string> raw;
  try {
    raw.reserve(message->headers.size());
  } catch (const std::bad_alloc&) {
  }
  for (const HeaderField& f : message->headers) {
    Result<std::string> text = rawFieldText(f);
    if (!text) continue;
    try {
      raw.push_back(std::move(*text));
    } catch (const std::bad_alloc&) {
    }
  }

  std::optional<std::int64_t> deadline;
  if (settings.max_evaluation_ms != 0) {
    const std::int64_t now = nowMillis();
    const std::int64_t budget = settings.max_evaluation_ms;
    // Saturates instead of overflowing for budgets near the 64-bit limits.
    deadline = budget > 0 && now > std::numeric_limits<std::int64_t>::max() - budget
                   ? std::numeric_limits<std::int64_t>::max()
                   : now + budget;
  }

  bool seen = false;
  for (const HeaderField& f : message->headers) {
    if (!isSignature(f)) continue;
    seen = true;
    if (deadline && nowMillis() >= *deadline) {
      emit(Severity::Warning, "dkim: evaluation deadline exceeded; remaining signatures not verified");
      return recordOnly(DkimResult::TempError);
    }
    Result<std::string> field_text = rawFieldText(f);
    if (!field_text) continue;
    VerificationRequest request;
    request.signature_value = f.value;
    request.signature_field = *field_text;
    request.raw_headers = raw;
    request.body = message->body;
    request.minimum_key_bits = settings.minimum_key_bits;
    request.refuse_body_length = settings.refuse_body_length;
    request.max_key_records = settings.max_key_records;
    const VerificationOutcome outcome =
        verifySignature(request, services.key_lookup, services.key_cache);
    if (!outcome.reason.empty()) {
      if (outcome.result != DkimResult::Pass) {
        emit(Severity::Info, Printable{outcome.domain}, ": dkim=", dkimResultText(outcome.result),
             " (", outcome.reason, ")");
      }
      if (outcome.reason == "key too small") {
        emit(Severity::Warning, Printable{outcome.domain}, ": RSA key below MinimumKeyBits=",
             settings.minimum_key_bits, ", signature permanently failed (RFC 8301 3.2)");
      }
    }
    if (outcome.unsigned_octets != 0) {
      emit(Severity::Warning, Printable{outcome.domain}, ": dkim=pass covers only the first l= octets, ",
           outcome.unsigned_octets, " trailing body octets are unsigned (RFC 6376 8.2)");
    }
    if (!record(outcome)) return kReplyTempfail;
  }
  if (!seen) return recordOnly(DkimResult::None);
  return kReplyContinue;
}

}  // namespace

std::uint8_t evaluateMessage(MilterConnection& c, const EvaluationServices& services) {
  const std::uint64_t start = services.clock_nanos();
  const RuntimeSettings& settings = services.settings;

  ListenerMode mode = ListenerMode::Verify;
  if (c.listener_index < settings.listener_modes.size()) {
    mode = settings.listener_modes[c.listener_index];
  } else {
    emit(Severity::Err, "listener index ", c.listener_index, " has no configured mode (",
         settings.listener_modes.size(), " known): falling back to verify");
  }

  std::uint8_t reply = kReplyContinue;
  if (mode != ListenerMode::Sign) reply = Evaluation{c, services}.verify();
  if (mode != ListenerMode::Verify && reply == kReplyContinue) {
    reply = runSigningStep(c, services.signing, signingSettingsFrom(settings), services.results);
  }

  std::string_view client = "unknown";
  if (c.client_addr && !c.client_addr->empty()) {
    client = *c.client_addr;
  } else if (c.connect_host && !c.connect_host->empty()) {
    client = *c.connect_host;
  }
  const std::string_view id = c.queue_id ? std::string_view(*c.queue_id) : std::string_view();
  const std::uint64_t elapsed = (services.clock_nanos() - start) / kNanosPerMilli;
  emit(Severity::Info, "id=", Printable{id}, " peer=", Printable{connectionName(c)}, "[",
       Printable{connectionPeer(c)}, "] client=", Printable{client},
       " from=", Printable{envelopeAddress(c).value_or(std::string_view())},
       " listener=", c.listener_index, " mode=", listenerModeName(mode),
       " elapsed=", static_cast<std::int64_t>(elapsed), "ms");
  return reply;
}

}  // namespace quellsig
