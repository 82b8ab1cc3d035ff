#include "tests/support/log_capture.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/datagram_socket.h"

namespace quellsig::testing {

namespace {

// A capture that cannot receive would make every "not logged" check pass.
[[noreturn]] void cannotCapture(const char* what, Error e) {
  std::fprintf(stderr, "LogCapture: cannot %s: %s\n", what, std::string(errorName(e)).c_str());
  std::abort();
}

}  // namespace

LogCapture::LogCapture() : saved_(logSettings()) {
  auto dir = testutil::PrivateDir::create("log");
  if (!dir) cannotCapture("create a directory", dir.error());
  dir_ = std::move(*dir);
  const std::string path = dir_.path() + "/log.sock";
  auto fd = testutil::bindDatagramSocket(path);
  if (!fd) cannotCapture("bind the log socket", fd.error());
  fd_ = std::move(*fd);
  setLogSocketPath(path);
  LogSettings s;
  s.syslog = true;
  s.level = 7;
  s.identity = "test";
  configureLogging(s);
  openLogConnection();
}

LogCapture::~LogCapture() {
  closeLogConnection();
  configureLogging(saved_);
}

const std::vector<std::string>& LogCapture::messages() {
  while (fd_) {
    auto got = testutil::receiveDatagram(fd_.get(), 0);
    if (!got || !*got) break;
    const std::string& record = **got;
    auto colon = record.find("]: ");
    messages_.push_back(colon == std::string::npos ? record : record.substr(colon + 3));
  }
  return messages_;
}

int LogCapture::count(std::string_view text) {
  const auto& m = messages();
  return static_cast<int>(std::count(m.begin(), m.end(), text));
}

void LogCapture::clear() {
  messages();
  messages_.clear();
}

}  // namespace quellsig::testing
