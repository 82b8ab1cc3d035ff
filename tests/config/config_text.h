// parseText: a configuration file's text through the reader and the parser,
// as start-up runs them on a file.
#pragma once

#include <string>

#include "config/daemon_config.h"

namespace quellsig::testutil {

inline Result<DaemonConfig> parseText(const std::string& text) {
  auto file = parseConfigText(text);
  if (!file) return fail(file.error());
  return parseDaemonConfig(*file);
}

}  // namespace quellsig::testutil
