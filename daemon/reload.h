// The reload of the signing configuration that SIGHUP asks for.
//
// reloadSigningConfig reads the configuration file at config_path again,
// validates all of it as start-up does, builds a new SigningConfig from its
// SigningTable, KeyTable and KeyFile (every file read again) and publishes it
// through the tracker. Nothing else of the configuration changes: the rest is
// a start-up value. Records: "SIGHUP received, reloading configuration..."
// first; on success one wake byte to each descriptor of wake_pipes in order
// (write errors ignored) and "signing configuration reloaded (generation
// <n>, <n> awaiting reclamation)"; on failure the messages of the reader,
// the parser and the loader, then one warning ending in "keeping previous".
//
// A failure advances the generation without waking anyone, so that every
// worker still drops its DNS state at its next wake-up, and returns the
// error of the step that failed (file errors, the parser's, the loader's,
// OutOfMemory from publishing); the previous configuration stays current.
// It never ends the daemon.
//
// Main thread only: it alone publishes. wake_pipes are the write ends of
// the workers' wake pipes, borrowed; they may be empty.
#pragma once

#include <span>
#include <string_view>

#include "config/generation_tracker.h"
#include "platform/error.h"

namespace quellsig {

Result<void> reloadSigningConfig(std::string_view config_path, GenerationTracker& tracker,
                                 std::span<const int> wake_pipes);

}  // namespace quellsig
