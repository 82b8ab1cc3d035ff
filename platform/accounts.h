// The password and group databases and the ids of the calling process.
//
// lookupUser and lookupGroup look a name up as a name only (no numeric ids);
// a name that is not there is UserNotFound / GroupNotFound, a failing
// database lookup its errno's error, a name holding a NUL byte
// InvalidArgument. clearSupplementaryGroups, setGroupId and setUserId change
// the whole process and return the system's refusal by name. Call the
// setters on the main thread while no other thread runs.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/error.h"

namespace quellsig::platform {

struct Account {
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;  // the primary group
};

struct ProcessIds {
  std::uint32_t real_uid = 0;
  std::uint32_t effective_uid = 0;
  std::uint32_t real_gid = 0;
  std::uint32_t effective_gid = 0;
};

Result<Account> lookupUser(std::string_view name);
Result<std::uint32_t> lookupGroup(std::string_view name);
Result<void> clearSupplementaryGroups();
Result<void> setGroupId(std::uint32_t gid);
Result<void> setUserId(std::uint32_t uid);
ProcessIds currentIds();

}  // namespace quellsig::platform
