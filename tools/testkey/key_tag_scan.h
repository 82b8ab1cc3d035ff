// The key test tool's scan for one tag in a key record's text: runs of ";",
// space, tab, CR and LF are skipped, the name runs to the next "=", the value
// to the next ";"; both are trimmed of space, tab, CR, LF, VT and FF. The first
// tag whose name equals `name` exactly wins; nullopt when none does. The value
// borrows from `data`. Pure.
#pragma once

#include <optional>
#include <string_view>

namespace quellsig {

std::optional<std::string_view> scanKeyTag(std::string_view data, std::string_view name);

}  // namespace quellsig
