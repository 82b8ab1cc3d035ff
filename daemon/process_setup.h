// The steps that turn the started program into a system daemon, in the
// order start-up calls them: umask, pid-file check, start in the background,
// owner of the runtime directories, the directories, the pid file, worker
// count and descriptor limit, privilege drop; the readiness byte at the end
// of start-up and the pid file's removal at shutdown.
//
// Each step writes its own records, including the start-up message that
// wraps its failure ("daemonize failed: <error>", "pid file write failed:
// <error>", "privilege drop to '<user>' failed: <error>"), so the caller only
// decides whether to go on: checkPidFile, daemonize and dropPrivileges are
// fatal to start-up; writePidFile's failure is not (start-up continues
// without a pid file); the other steps only warn or stay silent. Records
// carry <error> as "error." and the error's name.
//
// All of them change or inspect the whole process: call them on the main
// thread while no other thread exists (daemonize forks).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/fd.h"
#include "platform/limits.h"

namespace quellsig {

// Owner given to the runtime directories.
struct DirectoryOwner {
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
};

// How long the launching process waits for the readiness byte.
inline constexpr std::uint32_t kReadinessWaitMs = 60000;
// Paths of this length or more are refused (pid file, runtime directory).
inline constexpr std::size_t kMaxPathBytes = 1024;

// UMask when configured; nothing otherwise.
void applyUmask(std::optional<std::uint16_t> umask);

// Single-instance check of PidFile. Fails with AlreadyRunning, after its err
// record, when a live process other than this one or its parent holds it;
// every unreadable or meaningless pid file passes.
Result<void> checkPidFile(std::string_view pid_file);

// Puts the process in the background (Foreground no). Returns, in the
// daemon only, the write end of the readiness pipe, to be handed to
// signalReadiness when start-up is complete. The launching process waits up
// to readiness_wait_ms for the byte and exits 0 ("K") or 1 (anything else);
// the intermediate process exits 0. Neither returns. A failure is returned
// in whichever process met it. The caller then opens a new log connection,
// so that records carry the daemon's process id.
Result<platform::UniqueFd> daemonize(std::uint32_t readiness_wait_ms = kReadinessWaitMs);

// Writes "K" and closes the pipe; errors are ignored (the launching process
// then reports the failure itself).
void signalReadiness(platform::UniqueFd readiness);

// User ("user" or "user:group") to ids: InvalidUserSpec, UsernameTooLong,
// UserNotFound, GroupNameTooLong, GroupNotFound. Names only, never numbers.
Result<DirectoryOwner> resolveOwner(std::string_view user_spec);

// resolveOwner for the runtime directories: a failure is the warning
// "resolving '<user>' for runtime directories failed: <error>" and no owner.
std::optional<DirectoryOwner> resolveDirectoryOwner(std::string_view user_spec);

// The directory of file_path: created 0755 when missing, then given to the
// owner when one is known, except "/", sticky directories and the system's
// shared run and temporary directories, which keep their owner (warning
// "chown <dir>: refusing to re-own a shared directory"). Every failure is a
// warning; nothing above the directory is touched.
void ensureRuntimeDirectory(std::string_view file_path, std::optional<DirectoryOwner> owner);

// ensureRuntimeDirectory for the pid file, then for each unix-socket path in
// listener order.
void prepareRuntimeDirectories(std::string_view pid_file,
                               std::span<const std::string> unix_socket_paths,
                               std::optional<DirectoryOwner> owner);

// Writes this process's id and a line feed into the pid file, a regular file
// of mode 0644 whatever the umask. Never follows a link planted at the path
// and never writes into anything but a regular file (NotRegularFile). On
// failure the err record "pid file write failed: <error>".
Result<void> writePidFile(std::string_view pid_file);

// Removes the pid file; errors are ignored.
void removePidFile(std::string_view pid_file);

// WorkerThreads, or one per CPU when 0, or 4 when the CPU count is unknown.
std::uint32_t workerCount(std::uint32_t worker_threads);

// Descriptors the workers may hold at once: per worker its connections, its
// listeners, its queue and pipe ends, a spare for a connection refused at
// MaxConnections and room for its DNS sockets and publisher; plus main's.
std::uint64_t descriptorRequest(std::uint32_t workers, std::uint32_t max_connections,
                                std::size_t listeners);

// The soft limit raiseDescriptorLimit sets: the request, capped at the hard
// limit, but never below the present soft limit.
std::int64_t plannedSoftLimit(std::uint64_t requested, platform::DescriptorLimits present);

// Raises the soft descriptor limit to plannedSoftLimit and writes the info
// record "file descriptor limit set to <n> (requested <n>, hard max <n>)".
// Silent when the limits cannot be read; the setting's result is not looked
// at.
void raiseDescriptorLimit(std::uint64_t requested);

// Switches the process to the account of User for good: resolveOwner's
// errors, RefusingToDropToRoot, SetgroupsFailed, SetgidFailed, SetuidFailed,
// PrivilegeDropNotEffective, each after the err record "privilege drop to
// '<user>' failed: <error>". The caller removes the pid file it wrote.
Result<void> dropPrivileges(std::string_view user_spec);

}  // namespace quellsig
