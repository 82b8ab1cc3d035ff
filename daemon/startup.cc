#include "daemon/startup.h"

#include <optional>
#include <string>
#include <vector>

#include "config/config_file.h"
#include "config/daemon_config.h"
#include "config/runtime_settings.h"
#include "daemon/dns_startup.h"
#include "daemon/process_setup.h"
#include "daemon/reload.h"
#include "daemon/signing_startup.h"
#include "daemon/worker_pool.h"
#include "engine/verification.h"
#include "log/log.h"
#include "milter/thread_resolver.h"
#include "platform/log_socket.h"
#include "platform/signals.h"

namespace quellsig {
namespace {

// The configuration lives for the whole run; its reader's output is kept
// because a reload reads the same path again and the log keys come from it.
struct Configuration {
  ConfigFile file;
  DaemonConfig daemon;
};

Result<std::string_view> configPathFromArgs(std::span<const std::string_view> args) {
  if (args.size() < 2 || args[0] != "-c") {
    emit(Severity::Err, "usage: quellsig -c <config-file>");
    return fail(Error::InvalidArgument);
  }
  return args[1];  // later arguments are ignored
}

Result<Configuration> loadConfiguration(std::string_view path) {
  auto file = readConfigFile(path);
  if (!file) {
    emit(Severity::Err, "failed to load config ", path, ": ", ErrorText{file.error()});
    return fail(file.error());
  }
  auto daemon = parseDaemonConfig(*file);
  if (!daemon) {
    emit(Severity::Err, "config parse error: ", ErrorText{daemon.error()});
    return fail(daemon.error());
  }
  return Configuration{std::move(*file), std::move(*daemon)};
}

// From here on records carry the identity "quellsig" and go where the
// configuration says.
void applyLogSettings(const ConfigFile& file) {
  configureLogging(logSettingsFromConfig(file));
  openLogConnection();
}

void storeSettings(const DaemonConfig& config) {
  storeRuntimeSettings(runtimeSettingsFrom(config, logSettings()));
  if (config.minimum_key_bits_raised) {
    emit(Severity::Warning, "MinimumKeyBits below the RFC 8301 minimum: using ", kRsaMinimumKeyBits,
         " bits");
  }
}

void logStartup(const DaemonConfig& config) {
  emit(Severity::Info, "QuellSig starting, AuthservID=", config.authserv_id,
       ", MinimumKeyBits=", config.minimum_key_bits, ", listeners=", config.listeners.size());
  for (std::size_t i = 0; i < config.listener_modes.size(); ++i) {
    emit(Severity::Info, "listener[", i, "] mode=", listenerModeName(config.listener_modes[i]));
  }
}

// Single instance, then the start in the background unless Foreground is
// set. Returns the readiness pipe of a background start (invalid in the
// foreground).
Result<platform::UniqueFd> detach(const DaemonConfig& config) {
  applyUmask(config.umask);
  if (auto c = checkPidFile(config.pid_file); !c) return fail(c.error());
  if (config.foreground) return platform::UniqueFd();
  auto readiness = daemonize();
  if (!readiness) return fail(readiness.error());
  // The daemon's records carry its own process id.
  openLogConnection();
  return readiness;
}

// The runtime directories and the pid file, both before the privilege drop
// so that they can be made in places only root may write. Returns whether
// the pid file was written.
bool writeRuntimeFiles(const DaemonConfig& config) {
  std::optional<DirectoryOwner> owner;
  if (config.user) owner = resolveDirectoryOwner(*config.user);
  std::vector<std::string> unix_paths;
  for (const ListenerSpec& l : config.listeners) {
    if (l.unix_socket) unix_paths.push_back(l.address);
  }
  prepareRuntimeDirectories(config.pid_file, unix_paths, owner);
  return writePidFile(config.pid_file).has_value();
}

// Returns once a shutdown signal has arrived; SIGHUP reloads the signing
// configuration and waits again.
Result<void> waitForShutdownSignal(std::string_view config_path, GenerationTracker& tracker,
                                   std::span<const int> wake_pipes) {
  for (;;) {
    auto sig = platform::waitForDaemonSignal();
    if (!sig) return fail(sig.error());
    if (*sig == platform::DaemonSignal::Reload) {
      // A failed reload keeps the previous configuration; the daemon goes on.
      (void)reloadSigningConfig(config_path, tracker, wake_pipes);
      continue;
    }
    emit(Severity::Info, "shutdown signal ", platform::signalNumber(*sig),
         " received, draining connections...");
    return {};
  }
}

Result<void> run(std::span<const std::string_view> args) {
  auto path = configPathFromArgs(args);
  if (!path) return fail(path.error());
  auto config = loadConfiguration(*path);
  if (!config) return fail(config.error());
  applyLogSettings(config->file);
  storeSettings(config->daemon);
  if (auto n = checkNameservers(config->daemon.nameservers); !n) return fail(n.error());

  // Owns every signing configuration from publication on; declared after the
  // configuration so that it goes first, and explicitly emptied at shutdown.
  GenerationTracker tracker;
  if (auto s = publishInitialSigningConfig(config->daemon, tracker); !s) return fail(s.error());

  auto readiness = detach(config->daemon);
  if (!readiness) return fail(readiness.error());

  if (auto b = platform::blockDaemonSignals(); !b) return fail(b.error());

  // Resolvers borrow the monitor, so it outlives the workers.
  std::unique_ptr<NameserverMonitor> monitor = startNameserverMonitor(config->daemon.nameservers);

  setResolverMonitor(monitor.get());

  const std::string& pid_file = config->daemon.pid_file;
  const bool pid_written = writeRuntimeFiles(config->daemon);
  auto forgetPidFile = [&] {
    if (pid_written) removePidFile(pid_file);
  };

  const std::uint32_t workers = workerCount(config->daemon.worker_threads);
  raiseDescriptorLimit(descriptorRequest(workers, config->daemon.max_connections,
                                         config->daemon.listeners.size()));

  // Before the listening sockets are made, so that they belong to the User.
  if (config->daemon.user) {
    if (auto d = dropPrivileges(*config->daemon.user); !d) {
      forgetPidFile();
      return fail(d.error());
    }
  }

  logStartup(config->daemon);

  auto pool = WorkerPool::start({.count = workers,
                                 .max_connections = config->daemon.max_connections,
                                 .listeners = config->daemon.listeners,
                                 .settings = &runtimeSettings(),
                                 .tracker = &tracker,
                                 .hooks = daemonHooks(tracker)});
  if (!pool) {
    forgetPidFile();
    return fail(pool.error());
  }

  if (readiness->valid()) signalReadiness(std::move(*readiness));

  auto waited = waitForShutdownSignal(*path, tracker, (*pool)->wakeEnds());
  // Closes the shutdown pipe and waits for every worker's drain.
  (*pool)->shutdown();
  if (!waited) {
    forgetPidFile();
    return fail(waited.error());
  }
  // Every worker has returned: nothing reads a signing configuration any more.
  tracker.destroyAll();
  if (monitor) monitor->stop();
  pool->reset();
  forgetPidFile();
  return {};
}

// The exit report of an error that ends main.
int reportExit(Error e) {
  constexpr std::size_t kMessageBuffer = 256;
  constexpr std::string_view kPrefix = "fatal: exiting on ";
  std::string_view name = errorName(e);
  if (kPrefix.size() + name.size() < kMessageBuffer) {
    emit(Severity::Err, kPrefix, name);
  } else {
    emit(Severity::Err, "fatal: exiting on an error whose name did not fit");
  }
  std::string line = "error: ";
  line.append(name).append("\n");
  platform::writeStandardError(line);
  return 1;
}

}  // namespace

int runDaemon(std::span<const std::string_view> args) {
  auto r = run(args);
  if (!r) return reportExit(r.error());
  return 0;
}

}  // namespace quellsig
