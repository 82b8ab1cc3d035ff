// The end-of-message evaluation: verifies and/or signs a complete message
// according to the mode of the listener that accepted its connection, and
// returns the reply byte for the MTA.
//
// In "verify" and "both" mode it first deletes the Authentication-Results
// fields that claim our authserv-id for dkim (or any, with StripAuthResults)
// by queueing 'm' packets, when the MTA granted SMFIF_CHGHDRS; then it
// verifies each DKIM-Signature field, within MaxSignatures and the
// MaxEvaluationMs deadline, and records every result: one
// Authentication-Results field queued for insertion at the top, then one
// "verify" publication. A message whose copy is incomplete records
// temperror, too many signatures permerror, none at all none, and a deadline
// that runs out temperror in place of the signatures left. A result that
// cannot be queued is not published and defers the message ('t'), and "both"
// mode then does not sign. "sign" mode and "both" after verification run the
// signing step (milter/signing_step.h). Reply: 'c' or 't' after
// verification, the signing step's 'a' or 'c' after signing.
//
// Every message ends with one info record "id=... peer=... client=... from=...
// listener=<i> mode=<mode> elapsed=<ms>ms". The deadline and the elapsed time
// are read from the monotonic clock, so that a step of the system clock
// neither expires the deadline nor distorts the record.
//
// Runs synchronously on the worker thread that owns the connection, as its
// end-of-message hook: it changes the connection only by removing forged
// fields from the header list and queueing packets, and sends nothing. DNS
// waits happen inside it. The services are borrowed for the call.
#pragma once

#include <cstdint>

#include "config/runtime_settings.h"
#include "config/signing_config.h"
#include "engine/key_lookup.h"
#include "engine/public_key_cache.h"
#include "milter/connection.h"
#include "milter/result_sink.h"
#include "platform/clock.h"

namespace quellsig {

// What the worker thread lends the evaluation of one message.
struct EvaluationServices {
  const RuntimeSettings& settings;
  KeyLookup& key_lookup;         // the thread's resolver
  PublicKeyCache* key_cache;     // the thread's decoded keys; may be null
  ResultSink& results;           // the thread's publisher
  const SigningConfig* signing;  // current for this loop iteration; null: none loaded
  // Nanoseconds of a clock that only moves forward.
  std::uint64_t (*clock_nanos)() = platform::monotonicNanos;
};

std::uint8_t evaluateMessage(MilterConnection& c, const EvaluationServices& services);

}  // namespace quellsig
