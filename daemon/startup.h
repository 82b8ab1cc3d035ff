// The daemon's life on its main thread: start-up, the signal wait, shutdown.
//
// runDaemon takes the arguments after the program name and returns the exit
// status: 0 after a SIGTERM or SIGINT shutdown, 1 when main ends with an
// error. On an error it has already written the exit report: the record
// "fatal: exiting on <name>" and the line "error: <name>" on standard error.
// Call once, from main(), before any other thread exists.
#pragma once

#include <span>
#include <string_view>

namespace quellsig {

int runDaemon(std::span<const std::string_view> args);

}  // namespace quellsig
