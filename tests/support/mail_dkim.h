// Perl's Mail::DKIM as a black-box verifier (Debian's libmail-dkim-perl),
// through its documented interface, with its resolver pointed at a test
// nameserver.
//
// mailDkimVerify runs the verifier on the message file (wire form, CR LF)
// at `path` (relative to `cwd`, or absolute) and returns perl's output: the
// verifier's result ("pass", "fail", "none", ...) on the first line and its
// detail on the second. Fails as runProgram does. Any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "tests/support/run_program.h"

namespace quellsig::testutil {

Result<ProgramResult> mailDkimVerify(std::string_view path, std::string_view nameserver,
                                     std::uint16_t port, std::string_view cwd = "");

}  // namespace quellsig::testutil
