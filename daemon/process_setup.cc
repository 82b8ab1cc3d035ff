#include "daemon/process_setup.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>
#include <string>

#include "log/log.h"
#include "platform/accounts.h"
#include "platform/clock.h"
#include "platform/event_queue.h"
#include "platform/exclusive_file.h"
#include "platform/log_socket.h"
#include "platform/pipe.h"
#include "platform/process.h"
#include "platform/runtime_files.h"

namespace quellsig {
namespace {

constexpr std::size_t kPidFileReadBytes = 32;
constexpr std::size_t kMaxAccountNameBytes = 256;
constexpr char kReadyByte = 'K';
constexpr unsigned kRuntimeDirectoryMode = 0755;
constexpr unsigned kPidFileMode = 0644;

// Per worker: its queue and the read ends of the shutdown and wake pipes...
constexpr std::uint64_t kWorkerOwnDescriptors = 3;
// ...and what it opens later or holds briefly: DNS sockets, the publisher's
// context, a connection accepted only to be refused, and main's end of its
// wake pipe.
constexpr std::uint64_t kWorkerSpareDescriptors = 8;
constexpr std::uint64_t kMainDescriptors = 64;

// Directories every process of the system shares; their owner stays.
constexpr std::array<std::string_view, 5> kSharedDirectories = {"/", "/run", "/var/run", "/tmp",
                                                                 "/var/tmp"};

std::string_view trimPidText(std::string_view s) {
  constexpr std::string_view kSpace = " \t\r\n";
  std::size_t b = s.find_first_not_of(kSpace);
  if (b == std::string_view::npos) return {};
  return s.substr(b, s.find_last_not_of(kSpace) - b + 1);
}

// A signed 32-bit decimal with an optional sign; underscores between digits
// are ignored.
std::optional<std::int32_t> parsePid(std::string_view s) {
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  std::int64_t value = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c == '_') {
      bool between = i > 0 && i + 1 < s.size() && s[i - 1] != '_' && s[i + 1] >= '0' &&
                     s[i + 1] <= '9';
      if (!between) return std::nullopt;
      continue;
    }
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<std::int32_t>::max() ||
      value < std::numeric_limits<std::int32_t>::min()) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(value);
}

// The launching process: 0 once "K" arrived within the wait, 1 otherwise.
int awaitReadiness(int read_end, std::uint32_t wait_ms) {
  auto queue = platform::EventQueue::create();
  if (!queue || !queue->registerRead(read_end)) return 1;
  const std::uint64_t deadline = platform::monotonicMillis() + wait_ms;
  for (;;) {
    const std::uint64_t now = platform::monotonicMillis();
    if (now >= deadline) return 1;
    auto events = queue->wait(static_cast<std::uint32_t>(deadline - now));
    if (!events) return 1;
    if (!events->empty()) break;  // an interrupted wait comes back empty
  }
  char byte = 0;
  auto n = platform::readPipe(read_end, std::span<char>(&byte, 1));
  return n && *n == 1 && byte == kReadyByte ? 0 : 1;
}

Result<platform::UniqueFd> daemonizeSteps(std::uint32_t readiness_wait_ms) {
  auto pipe = platform::createPipe();
  if (!pipe) return fail(pipe.error());
  auto first = platform::forkProcess();
  if (!first) return fail(first.error());
  if (*first > 0) {
    pipe->write_end.reset();
    platform::exitImmediately(awaitReadiness(pipe->read_end.get(), readiness_wait_ms));
  }
  pipe->read_end.reset();
  if (auto s = platform::detachSession(); !s) return fail(s.error());
  auto second = platform::forkProcess();
  if (!second) return fail(second.error());
  if (*second > 0) platform::exitImmediately(0);
  if (auto r = platform::redirectStandardStreams(); !r) return fail(r.error());
  return std::move(pipe->write_end);
}

// The directory part of a path: trailing slashes stripped, everything before
// the last "/", "/" for a path whose only slash leads it; none without "/".
std::optional<std::string_view> directoryOf(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos || path == "/") return std::nullopt;
  if (slash == 0) return path.substr(0, 1);
  return path.substr(0, slash);
}

bool isSharedDirectory(const platform::FileIdentity& dir) {
  if (dir.sticky()) return true;
  return std::ranges::any_of(kSharedDirectories, [&](std::string_view shared) {
    auto id = platform::pathIdentity(shared);
    return id && id->sameFileAs(dir);
  });
}

void giveDirectory(std::string_view dir, DirectoryOwner owner) {
  auto fd = platform::openDirectory(dir);
  if (!fd) {
    emit(Severity::Warning, "open ", dir, ": ", ErrorText{fd.error()});
    return;
  }
  auto id = platform::fileIdentity(fd->get());
  if (!id) {
    emit(Severity::Warning, "chown ", dir, ": ", ErrorText{id.error()});
    return;
  }
  if (isSharedDirectory(*id)) {
    emit(Severity::Warning, "chown ", dir, ": refusing to re-own a shared directory");
    return;
  }
  if (auto c = platform::changeOwner(fd->get(), owner.uid, owner.gid); !c) {
    emit(Severity::Warning, "chown ", dir, ": ", ErrorText{c.error()});
  }
}

// Limits are signed 64-bit numbers; a larger request means "unlimited".
std::int64_t asLimit(std::uint64_t n) {
  constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  return static_cast<std::int64_t>(std::min(n, kMax));
}

Result<void> dropSteps(std::string_view user_spec) {
  auto owner = resolveOwner(user_spec);
  if (!owner) return fail(owner.error());
  if (owner->uid == 0) return fail(Error::RefusingToDropToRoot);
  if (!platform::clearSupplementaryGroups()) return fail(Error::SetgroupsFailed);
  if (!platform::setGroupId(owner->gid)) return fail(Error::SetgidFailed);
  if (!platform::setUserId(owner->uid)) return fail(Error::SetuidFailed);
  platform::ProcessIds ids = platform::currentIds();
  if (ids.real_uid != owner->uid || ids.effective_uid != owner->uid ||
      ids.real_gid != owner->gid || ids.effective_gid != owner->gid) {
    return fail(Error::PrivilegeDropNotEffective);
  }
  return {};
}

}  // namespace

void applyUmask(std::optional<std::uint16_t> umask) {
  if (umask) platform::setUmask(*umask);
}

Result<void> checkPidFile(std::string_view pid_file) {
  if (pid_file.size() >= kMaxPathBytes) return {};
  auto head = platform::readFileHead(pid_file, kPidFileReadBytes);
  if (!head) return {};
  auto pid = parsePid(trimPidText(*head));
  if (!pid || *pid <= 0) return {};
  if (*pid == platform::processId() || *pid == platform::parentProcessId()) return {};
  if (platform::probeProcess(*pid) == platform::ProcessPresence::Absent) return {};
  emit(Severity::Err, "pid file ", pid_file, " is held by live process ", *pid,
       "; refusing to start a second instance");
  return fail(Error::AlreadyRunning);
}

Result<platform::UniqueFd> daemonize(std::uint32_t readiness_wait_ms) {
  auto r = daemonizeSteps(readiness_wait_ms);
  if (!r) emit(Severity::Err, "daemonize failed: ", ErrorText{r.error()});
  return r;
}

void signalReadiness(platform::UniqueFd readiness) {
  const char byte = kReadyByte;
  (void)platform::writeAll(readiness.get(), std::span<const char>(&byte, 1));
}

Result<DirectoryOwner> resolveOwner(std::string_view user_spec) {
  std::string_view user = user_spec;
  std::optional<std::string_view> group;
  if (std::size_t colon = user_spec.find(':'); colon != std::string_view::npos) {
    user = user_spec.substr(0, colon);
    group = user_spec.substr(colon + 1);
  }
  if (user.empty()) return fail(Error::InvalidUserSpec);
  if (user.size() >= kMaxAccountNameBytes) return fail(Error::UsernameTooLong);
  auto account = platform::lookupUser(user);
  if (!account) return fail(account.error());
  if (!group) return DirectoryOwner{account->uid, account->gid};
  if (group->empty()) return fail(Error::InvalidUserSpec);
  if (group->size() >= kMaxAccountNameBytes) return fail(Error::GroupNameTooLong);
  auto gid = platform::lookupGroup(*group);
  if (!gid) return fail(gid.error());
  return DirectoryOwner{account->uid, *gid};
}

std::optional<DirectoryOwner> resolveDirectoryOwner(std::string_view user_spec) {
  auto owner = resolveOwner(user_spec);
  if (owner) return *owner;
  emit(Severity::Warning, "resolving '", user_spec, "' for runtime directories failed: ",
       ErrorText{owner.error()});
  return std::nullopt;
}

void ensureRuntimeDirectory(std::string_view file_path, std::optional<DirectoryOwner> owner) {
  auto dir = directoryOf(file_path);
  if (!dir) return;
  if (dir->size() >= kMaxPathBytes) {
    emit(Severity::Warning, "mkdir ", *dir, ": ", ErrorText{Error::NameTooLong});
    return;
  }
  auto created = platform::makeDirectory(*dir, kRuntimeDirectoryMode);
  if (!created) {
    emit(Severity::Warning, "mkdir ", *dir, ": ", ErrorText{created.error()});
  } else if (*created) {
    // The umask may have narrowed the creation mode.
    if (auto fd = platform::openDirectory(*dir); !fd) {
      emit(Severity::Warning, "open ", *dir, ": ", ErrorText{fd.error()});
    } else if (auto m = platform::setMode(fd->get(), kRuntimeDirectoryMode); !m) {
      emit(Severity::Warning, "chmod ", *dir, ": ", ErrorText{m.error()});
    }
  }
  if (owner) giveDirectory(*dir, *owner);
}

void prepareRuntimeDirectories(std::string_view pid_file,
                               std::span<const std::string> unix_socket_paths,
                               std::optional<DirectoryOwner> owner) {
  ensureRuntimeDirectory(pid_file, owner);
  for (const std::string& path : unix_socket_paths) ensureRuntimeDirectory(path, owner);
}

Result<void> writePidFile(std::string_view pid_file) {
  Result<void> r;
  if (pid_file.size() >= kMaxPathBytes) {
    r = fail(Error::NameTooLong);
  } else {
    std::array<char, 16> text{};
    auto [end, ec] = std::to_chars(text.data(), text.data() + text.size() - 1,
                                   platform::processId());
    *end++ = '\n';
    r = platform::writeRegularFile(pid_file, std::string_view(text.data(), end), kPidFileMode);
  }
  if (!r) emit(Severity::Err, "pid file write failed: ", ErrorText{r.error()});
  return r;
}

void removePidFile(std::string_view pid_file) { (void)platform::removeFile(pid_file); }

std::uint32_t workerCount(std::uint32_t worker_threads) {
  constexpr std::uint32_t kWorkersWithoutCpuCount = 4;
  if (worker_threads != 0) return worker_threads;
  return platform::cpuCount().value_or(kWorkersWithoutCpuCount);
}

std::uint64_t descriptorRequest(std::uint32_t workers, std::uint32_t max_connections,
                                std::size_t listeners) {
  return std::uint64_t{workers} * (std::uint64_t{max_connections} + listeners +
                                   kWorkerOwnDescriptors + kWorkerSpareDescriptors) +
         kMainDescriptors;
}

std::int64_t plannedSoftLimit(std::uint64_t requested, platform::DescriptorLimits present) {
  return std::max(present.soft, std::min(asLimit(requested), present.hard));
}

void raiseDescriptorLimit(std::uint64_t requested) {
  auto present = platform::descriptorLimits();
  if (!present) return;
  const std::int64_t soft = plannedSoftLimit(requested, *present);
  if (soft != present->soft) (void)platform::setDescriptorSoftLimit(soft);
  emit(Severity::Info, "file descriptor limit set to ", soft, " (requested ", asLimit(requested),
       ", hard max ", present->hard, ")");
}

Result<void> dropPrivileges(std::string_view user_spec) {
  auto r = dropSteps(user_spec);
  if (!r) {
    emit(Severity::Err, "privilege drop to '", user_spec, "' failed: ", ErrorText{r.error()});
  }
  return r;
}

}  // namespace quellsig
