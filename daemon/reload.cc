#include "daemon/reload.h"

#include "config/config_file.h"
#include "config/daemon_config.h"
#include "config/signing_config.h"
#include "daemon/signing_startup.h"
#include "log/log.h"
#include "platform/pipe.h"

namespace quellsig {
namespace {

Result<void> reloadSteps(std::string_view config_path, GenerationTracker& tracker) {
  auto file = readConfigFile(config_path);
  if (!file) {
    emit(Severity::Warning, "reload: failed to re-read config file, keeping previous");
    return fail(file.error());
  }
  auto config = parseDaemonConfig(*file);
  if (!config) {
    emit(Severity::Warning, "reload: failed to parse config, keeping previous");
    return fail(config.error());
  }
  auto signing = loadSigningConfig(signingSourcesFrom(*config));
  if (!signing) {
    emit(Severity::Warning, "reload: failed to load signing configuration (",
         ErrorText{signing.error()}, "), keeping previous");
    return fail(signing.error());
  }
  // A configuration that cannot be published is destroyed by publish.
  if (auto p = tracker.publish(std::move(*signing)); !p) {
    emit(Severity::Warning, "reload: failed to publish signing configuration (",
         ErrorText{p.error()}, "), keeping previous");
    return fail(p.error());
  }
  return {};
}

}  // namespace

Result<void> reloadSigningConfig(std::string_view config_path, GenerationTracker& tracker,
                                 std::span<const int> wake_pipes) {
  emit(Severity::Info, "SIGHUP received, reloading configuration...");
  if (auto r = reloadSteps(config_path, tracker); !r) {
    // Workers still see a new generation and drop their DNS state.
    tracker.advanceGeneration();
    return r;
  }
  for (int fd : wake_pipes) (void)platform::sendWakeByte(fd);
  emit(Severity::Info, "signing configuration reloaded (generation ", tracker.generation(), ", ",
       tracker.awaitingReclamation(), " awaiting reclamation)");
  return {};
}

}  // namespace quellsig
