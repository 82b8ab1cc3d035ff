// The verifier: one DKIM-Signature field of a message becomes one
// VerificationOutcome.
//
// verifySignature never fails: every problem becomes an outcome with a fixed
// reason text, in the order of the checks (parse, required tags, expiry, the
// i= domain within d=, key lookup and selection, l= policy, body hash, header
// hash, signature). It
// calls `lookup` once per signature, unless the signature is rejected before
// the key lookup, and blocks for it. It keeps no state between calls; the
// outcome borrows from the request. `keys`, when given, is the thread's
// decoded-key cache (kept beside the resolver and discarded with it); it
// changes no outcome. Runs on the thread that owns `lookup` and `keys`.
#pragma once

#include "engine/key_lookup.h"
#include "engine/public_key_cache.h"
#include "engine/verification.h"

namespace quellsig {

VerificationOutcome verifySignature(const VerificationRequest& request, KeyLookup& lookup,
                                    PublicKeyCache* keys = nullptr);

}  // namespace quellsig
