#include "platform/accounts.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/system_error.h"

namespace quellsig::platform {
namespace {

constexpr std::size_t kInitialBuffer = 4096;
constexpr std::size_t kMaxBuffer = 1u << 20;

// Runs a reentrant database lookup, growing its buffer while it says ERANGE.
// Returns 0 with *found set or cleared, or the errno of the failure.
template <typename Entry, typename Lookup>
int lookUp(Lookup lookup, Entry* entry, bool* found) {
  std::vector<char> buf(kInitialBuffer);
  for (;;) {
    Entry* result = nullptr;
    int rc = lookup(entry, buf.data(), buf.size(), &result);
    if (rc == ERANGE && buf.size() < kMaxBuffer) {
      buf.resize(buf.size() * 2);
      continue;
    }
    // Not found is reported as success with no entry, or as one of these.
    if (rc == 0 || rc == ENOENT || rc == ESRCH || rc == EBADF || rc == EPERM) {
      *found = rc == 0 && result != nullptr;
      return 0;
    }
    return rc;
  }
}

}  // namespace

Result<Account> lookupUser(std::string_view name) {
  if (name.find('\0') != std::string_view::npos) return fail(Error::InvalidArgument);
  const std::string c_name(name);
  passwd entry{};
  bool found = false;
  int rc = lookUp(
      [&](passwd* e, char* buf, std::size_t len, passwd** out) {
        return ::getpwnam_r(c_name.c_str(), e, buf, len, out);
      },
      &entry, &found);
  if (rc != 0) return fail(errorFromErrno(rc));
  if (!found) return fail(Error::UserNotFound);
  return Account{static_cast<std::uint32_t>(entry.pw_uid), static_cast<std::uint32_t>(entry.pw_gid)};
}

Result<std::uint32_t> lookupGroup(std::string_view name) {
  if (name.find('\0') != std::string_view::npos) return fail(Error::InvalidArgument);
  const std::string c_name(name);
  group entry{};
  bool found = false;
  int rc = lookUp(
      [&](group* e, char* buf, std::size_t len, group** out) {
        return ::getgrnam_r(c_name.c_str(), e, buf, len, out);
      },
      &entry, &found);
  if (rc != 0) return fail(errorFromErrno(rc));
  if (!found) return fail(Error::GroupNotFound);
  return static_cast<std::uint32_t>(entry.gr_gid);
}

Result<void> clearSupplementaryGroups() {
  if (::setgroups(0, nullptr) != 0) return fail(lastError());
  return {};
}

Result<void> setGroupId(std::uint32_t gid) {
  if (::setgid(static_cast<gid_t>(gid)) != 0) return fail(lastError());
  return {};
}

Result<void> setUserId(std::uint32_t uid) {
  if (::setuid(static_cast<uid_t>(uid)) != 0) return fail(lastError());
  return {};
}

ProcessIds currentIds() {
  return ProcessIds{static_cast<std::uint32_t>(::getuid()), static_cast<std::uint32_t>(::geteuid()),
                    static_cast<std::uint32_t>(::getgid()), static_cast<std::uint32_t>(::getegid())};
}

}  // namespace quellsig::platform
