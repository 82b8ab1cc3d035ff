#include "daemon/signing_startup.h"

#include "log/log.h"

namespace quellsig {
namespace {

std::optional<std::string_view> view(const std::optional<std::string>& s) {
  if (!s) return std::nullopt;
  return std::string_view(*s);
}

}  // namespace

SigningSources signingSourcesFrom(const DaemonConfig& config) {
  return {view(config.signing_table), view(config.key_table), view(config.key_file)};
}

Result<void> publishInitialSigningConfig(const DaemonConfig& config, GenerationTracker& tracker) {
  auto signing = loadSigningConfig(signingSourcesFrom(config));
  if (!signing) {
    emit(Severity::Err, "failed to load signing configuration: ", ErrorText{signing.error()});
    return fail(signing.error());
  }
  if (auto p = tracker.publish(std::move(*signing)); !p) {
    emit(Severity::Err, "failed to publish signing configuration: ", ErrorText{p.error()});
    return fail(p.error());
  }
  return {};
}

}  // namespace quellsig
