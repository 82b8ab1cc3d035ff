// Authentication-Results fields: the value this filter inserts for one DKIM
// result, and the test for fields already in a message that claim this
// filter's authserv-id (forgeries, which the evaluation deletes).
//
// authResultsValue lays the value out for lines of at most 78 columns after
// the 24 columns of "Authentication-Results: ": the authserv-id and ";", then
// CR LF TAB and "dkim=<result>" with header.d, header.s and, for a testing
// key, policy.dkim-rules=testing-key, each property separated by one space or
// folded with CR LF TAB. Domain and selector are written as they are when
// they consist of letters, digits and "-._@", otherwise as a quoted string in
// which control bytes and DEL read "?". The reason of an outcome is never
// written. The line breaks stay CR LF; whoever sends the value to the MTA
// turns them into LF. Fails only with OutOfMemory.
//
// The claim test reads the start of a value as an RFC 8601 reader does, so
// that no folded, commented, quoted or versioned spelling of our id escapes
// it; a longer name that merely begins with our id never claims it.
//
// findForgedAuthResults lists the fields of a header block that
// isForgedAuthResults marks, with their position in the block and their
// occurrence number among the Authentication-Results fields (from 1), in
// message order; deleting them last first keeps the earlier numbers valid.
// Fails only with OutOfMemory.
//
// Pure functions; any thread may call them. Results borrow nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/dkim_result.h"
#include "engine/message.h"
#include "engine/verification.h"
#include "platform/error.h"

namespace quellsig {

inline constexpr std::string_view kAuthResultsName = "Authentication-Results";

// One signature's outcome.
Result<std::string> authResultsValue(std::string_view authserv_id,
                                                   const VerificationOutcome& outcome);
// An outcome for the whole message (none, temperror, permerror): no properties.
Result<std::string> authResultsValue(std::string_view authserv_id, DkimResult result);

// True when the value names authserv_id (ASCII case-insensitive) as its
// authserv-id.
bool claimsAuthservId(std::string_view value, std::string_view authserv_id);

// True when a field with this value must be deleted: it claims authserv_id,
// and strip_all is set or one of its results uses the method "dkim" (in any
// case, with or without a method version).
bool isForgedAuthResults(std::string_view value, std::string_view authserv_id, bool strip_all);

struct ForgedField {
  std::size_t position;     // index in the header block
  std::uint32_t occurrence;  // among the Authentication-Results fields, from 1
};

Result<std::vector<ForgedField>> findForgedAuthResults(std::span<const HeaderField> headers,
                                                       std::string_view authserv_id,
                                                       bool strip_all);

}  // namespace quellsig
