#include "log/log.h"

#include <charconv>
#include <cstring>

#include "platform/fd.h"
#include "platform/log_socket.h"

namespace quellsig {
namespace {

LogSettings g_settings;
std::string g_socket_path(platform::defaultLogSocketPath());

struct ThreadConnection {
  platform::UniqueFd fd;
  int pid = 0;
  bool pid_known = false;
};
thread_local ThreadConnection t_conn;

int threadPid() {
  if (!t_conn.pid_known) return platform::processId();
  return t_conn.pid;
}

}  // namespace

void configureLogging(const LogSettings& settings) {
  g_settings = settings;
  if (g_settings.identity.size() > 64) g_settings.identity.resize(64);
}

const LogSettings& logSettings() { return g_settings; }

void setLogSocketPath(std::string_view path) { g_socket_path.assign(path); }

void openLogConnection() {
  t_conn.pid = platform::processId();
  t_conn.pid_known = true;
  t_conn.fd.reset();
  if (!g_settings.syslog) return;
  auto fd = platform::connectLogSocket(g_socket_path);
  if (fd) t_conn.fd = std::move(*fd);
}

void closeLogConnection() { t_conn.fd.reset(); }

bool logEnabled(Severity s) { return static_cast<std::uint8_t>(s) <= g_settings.level; }

LogRecord::LogRecord(Severity s) {
  unsigned priority = unsigned(g_settings.facility) * 8u + unsigned(static_cast<std::uint8_t>(s));
  append("<");
  append(std::uint64_t{priority});
  append(">");
  append(std::string_view(g_settings.identity));
  append("[");
  append(std::uint64_t(static_cast<unsigned>(threadPid())));
  append("]: ");
}

void LogRecord::append(std::string_view text) {
  std::size_t n = std::min(text.size(), kCapacity - len_);
  std::memcpy(buf_ + len_, text.data(), n);
  len_ += n;
}

void LogRecord::append(Printable p) {
  if (p.text.empty()) {
    append("-");
    return;
  }
  for (unsigned char c : p.text) {
    if (len_ == kCapacity) return;
    buf_[len_++] = (c >= 0x21 && c <= 0x7e) ? static_cast<char>(c) : '_';
  }
}

void LogRecord::append(ErrorText e) {
  append("error.");
  append(errorName(e.error));
}

void LogRecord::append(std::uint64_t n) {
  char tmp[24];
  auto [end, ec] = std::to_chars(tmp, tmp + sizeof tmp, n);
  (void)ec;
  append(std::string_view(tmp, static_cast<std::size_t>(end - tmp)));
}

void LogRecord::appendSigned(std::int64_t n) {
  char tmp[24];
  auto [end, ec] = std::to_chars(tmp, tmp + sizeof tmp, n);
  (void)ec;
  append(std::string_view(tmp, static_cast<std::size_t>(end - tmp)));
}

void LogRecord::send() {
  for (std::size_t i = 0; i < len_; ++i) {
    unsigned char c = static_cast<unsigned char>(buf_[i]);
    if (c < 0x20 || c == 0x7f) buf_[i] = '_';
  }
  std::string_view record(buf_, len_);
  if (g_settings.syslog) {
    if (t_conn.fd) platform::sendRecord(t_conn.fd.get(), record);
    return;
  }
  if (!record.empty() && record.front() == '<') {
    auto gt = record.find('>');
    if (gt != std::string_view::npos) record.remove_prefix(gt + 1);
  }
  buf_[len_] = '\n';
  platform::writeStandardError(std::string_view(record.data(), record.size() + 1));
}

}  // namespace quellsig
