// The daemon's signing step: signs the message of a connection once per key
// that the signing configuration assigns to the envelope sender's domain and
// queues each new DKIM-Signature field for insertion at the top of the header.
//
// runSigningStep returns 'a' when at least one field was queued and 'c'
// otherwise; it never fails, defers or rejects. Without a MAIL sender, with a
// sender lacking "@" or a domain, without a configuration (null) or without
// a matching key it returns 'c' silently. An incomplete copy of the message
// (body over MaxBodyBytes, header block over its limits) is not signed, with
// a warning naming the connection. Each key is tried on its own: a failure is
// logged ("signing failed for <domain>/<selector>...") and published as sign
// "fail", and the next key is tried; each queued field is published as sign
// "pass". The keys are signed last to first, so that the fields, each
// inserted at index 0, reach the recipient in the configured order.
//
// signWithEntries is the part after key selection, for a given list of
// entries; runSigningStep calls it with the configuration's selection.
//
// Runs on the worker thread that owns the connection; the configuration and
// the settings are borrowed for the call. Pointers into the message are not
// kept.
#pragma once

#include <cstdint>
#include <span>

#include "config/signing_config.h"
#include "milter/connection.h"
#include "milter/result_sink.h"

namespace quellsig {

std::uint8_t runSigningStep(MilterConnection& c, const SigningConfig* config,
                            const SigningSettings& settings, ResultSink& results);

std::uint8_t signWithEntries(MilterConnection& c, std::span<const SigningEntry> entries,
                             ResultSink& results);

}  // namespace quellsig
