// The signing configuration at start-up.
//
// publishInitialSigningConfig builds the SigningConfig from the signing keys
// of the configuration and publishes it as the first generation. Failures
// are fatal to start-up: it emits "failed to load signing configuration:
// <error>" or "failed to publish signing configuration: <error>" at err and
// returns the error; a configuration that failed to publish is destroyed.
// Main thread only, before any worker exists.
#pragma once

#include "config/daemon_config.h"
#include "config/generation_tracker.h"
#include "config/signing_config.h"
#include "config/runtime_settings.h"
#include "platform/error.h"

namespace quellsig {

SigningSources signingSourcesFrom(const DaemonConfig& config);

Result<void> publishInitialSigningConfig(const DaemonConfig& config, GenerationTracker& tracker);

}  // namespace quellsig
