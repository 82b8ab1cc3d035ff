// quellsig-sign: signs one message file and writes the new DKIM-Signature
// field, CR LF and the message to `out`.
//
// runSignTool returns the exit status: 0 on success, 2 after writing
// "quellsig-sign: <message>" to `err`. Nothing reaches `out` before the
// signature is complete. The streams are borrowed; one thread per call.
#pragma once

#include <cstdio>
#include <span>
#include <string_view>

namespace quellsig {

// The refusal printed when the signed message cannot be written out whole.
inline constexpr std::string_view kSignWriteFailure = "could not write the signed message";

int runSignTool(std::span<const std::string_view> args, std::FILE* out, std::FILE* err);

}  // namespace quellsig
