// Process-wide logging: one-line syslog records, "<pri>identity[pid]: text".
//
// Settings: LogSettings start as {stderr, mail, info, "quellfilt"} and are
// replaced once by configureLogging(), on the main thread before any other
// thread exists; they are read-only afterwards.
//
// Connections: each thread that logs to syslog calls openLogConnection() once
// (the main thread again after it forks); a thread without a connection loses
// its syslog records. Records go out as one datagram each; with syslog off
// they go to standard error without the "<pri>" part, followed by a line feed,
// in one write so that records of concurrent threads do not mix on one line.
//
// emit() never fails its caller: a record longer than 1024 bytes is cut there,
// every byte below 0x20 and 0x7f becomes "_", and a record that cannot be sent
// is lost. A record whose severity is above the level is not formatted at all.
// No allocation per record; any thread may call emit().
#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/error.h"

namespace quellsig {

enum class Severity : std::uint8_t { Err = 3, Warning = 4, Info = 6, Debug = 7 };

struct LogSettings {
  bool syslog = false;
  std::uint8_t facility = 2;           // mail
  std::uint8_t level = 6;              // info
  std::string identity = "quellfilt";  // at most 64 bytes are used
};

// Text from mail traffic or DNS: bytes outside '!'..'~' are written as "_",
// and an empty text as "-".
struct Printable {
  std::string_view text;
};

// An error inside a log sentence: "error." followed by its name.
struct ErrorText {
  Error error;
};

void configureLogging(const LogSettings& settings);
const LogSettings& logSettings();

// Socket used by later openLogConnection() calls; the system's syslog socket
// by default. Tests point it at a socket of their own.
void setLogSocketPath(std::string_view path);

// Opens this thread's connection (closing an earlier one) and records the
// process id its records carry.
void openLogConnection();
void closeLogConnection();

bool logEnabled(Severity s);

// The 1024-byte record under construction; lives on the caller's stack.
class LogRecord {
 public:
  static constexpr std::size_t kCapacity = 1024;
  explicit LogRecord(Severity s);
  void append(std::string_view text);
  void append(Printable p);
  void append(ErrorText e);
  void append(std::uint64_t n);
  void appendSigned(std::int64_t n);
  // Replaces control bytes and sends the record.
  void send();

 private:
  char buf_[kCapacity + 1];  // one spare byte for the line feed on standard error
  std::size_t len_ = 0;
};

namespace log_detail {
template <typename T>
void put(LogRecord& r, const T& piece) {
  if constexpr (std::is_same_v<T, bool>) {
    r.append(piece ? std::string_view("true") : std::string_view("false"));
  } else if constexpr (std::is_same_v<T, char>) {
    r.append(std::string_view(&piece, 1));
  } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
    r.appendSigned(static_cast<std::int64_t>(piece));
  } else if constexpr (std::is_integral_v<T>) {
    r.append(static_cast<std::uint64_t>(piece));
  } else if constexpr (std::is_same_v<T, Printable> || std::is_same_v<T, ErrorText>) {
    r.append(piece);
  } else {
    r.append(std::string_view(piece));
  }
}
}  // namespace log_detail

// emit(Severity::Warning, "dns: query ", Printable{name}, " failed err=", ErrorText{e});
template <typename... Pieces>
void emit(Severity s, const Pieces&... pieces) {
  if (!logEnabled(s)) return;
  LogRecord r(s);
  (log_detail::put(r, pieces), ...);
  r.send();
}

}  // namespace quellsig
