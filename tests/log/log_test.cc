#include "log/log.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/log_socket.h"
#include "tests/support/datagram_socket.h"
#include "tests/support/temp_dir.h"

namespace quellsig {
namespace {

// Records sent to a syslog socket of the test's own, read back as datagrams.
class SyslogRecords : public ::testing::Test {
 protected:
  void SetUp() override {
    auto fd = testutil::bindDatagramSocket(dir_.file("log"));
    ASSERT_TRUE(fd.has_value()) << errorName(fd.error());
    receiver_ = std::move(*fd);
    setLogSocketPath(dir_.file("log"));
  }
  void TearDown() override {
    closeLogConnection();
    configureLogging(LogSettings{});
    setLogSocketPath(platform::defaultLogSocketPath());
  }
  void useSettings(std::uint8_t facility, std::uint8_t level, std::string identity = "quellsig") {
    configureLogging(LogSettings{true, facility, level, std::move(identity)});
    openLogConnection();
  }
  std::optional<std::string> next(int timeout_ms = 2000) {
    auto d = testutil::receiveDatagram(receiver_.get(), timeout_ms);
    if (!d) return std::nullopt;
    return *d;
  }
  bool silent() { return !next(50).has_value(); }
  std::string header(int priority, std::string_view identity = "quellsig") {
    return "<" + std::to_string(priority) + ">" + std::string(identity) + "[" +
           std::to_string(platform::processId()) + "]: ";
  }

  testutil::TempDir dir_;
  platform::UniqueFd receiver_;
};

TEST_F(SyslogRecords, PriorityIsFacilityTimesEightPlusSeverity) {
  struct Case {
    const char* name;
    std::uint8_t facility;
    Severity severity;
    int priority;
  } cases[] = {
      {"local3 warning", 19, Severity::Warning, 156}, {"mail err", 2, Severity::Err, 19},
      {"mail info", 2, Severity::Info, 22},           {"daemon debug", 3, Severity::Debug, 31},
      {"auth warning", 4, Severity::Warning, 36},     {"local7 info", 23, Severity::Info, 190},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    useSettings(tc.facility, 7);
    emit(tc.severity, "hello");
    EXPECT_EQ(next(), header(tc.priority) + "hello");
  }
}

TEST_F(SyslogRecords, PiecesAreFormattedInPlace) {
  useSettings(2, 6);
  emit(Severity::Info, "n=", 42u, " s=", -7, " b=", true, " c=", 'x',
       " e=", ErrorText{Error::FileNotFound}, " p=", Printable{"a b\x01\xc3\xa9!~"},
       " empty=", Printable{""}, " str=", std::string("owned"));
  EXPECT_EQ(next(), header(22) +
                        "n=42 s=-7 b=true c=x e=error.FileNotFound p=a_b___!~ empty=- "
                        "str=owned");
}

TEST_F(SyslogRecords, ControlBytesBecomeUnderscores) {
  useSettings(2, 6);
  emit(Severity::Info, std::string_view("line\nfeed\rtab\tesc\x1b"
                                        "del\x7f"
                                        "nul\0end",
                                        29));
  EXPECT_EQ(next(), header(22) + "line_feed_tab_esc_del_nul_end");
}

TEST_F(SyslogRecords, LongTextIsCutAtExactly1024Bytes) {
  useSettings(2, 6);
  emit(Severity::Info, std::string(3000, 'x'), "never seen");
  auto got = next();
  ASSERT_TRUE(got.has_value());
  ASSERT_EQ(got->size(), 1024u);
  std::string head = header(22);
  EXPECT_EQ(got->substr(0, head.size()), head);
  EXPECT_EQ(got->substr(head.size()), std::string(1024 - head.size(), 'x'));
}

TEST_F(SyslogRecords, IdentityIsCutAt64Bytes) {
  useSettings(2, 6, std::string(80, 'i'));
  emit(Severity::Info, "t");
  EXPECT_EQ(next(), header(22, std::string(64, 'i')) + "t");
}

TEST_F(SyslogRecords, LevelFiltersSeveritiesAboveIt) {
  struct Case {
    const char* name;
    std::uint8_t level;
    bool err, warning, info, debug;
  } cases[] = {
      {"err", 3, true, false, false, false},
      {"warning", 4, true, true, false, false},
      {"info", 6, true, true, true, false},
      {"debug", 7, true, true, true, true},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    useSettings(2, tc.level);
    emit(Severity::Debug, "debug");
    emit(Severity::Info, "info");
    emit(Severity::Warning, "warning");
    emit(Severity::Err, "err");
    // Records arrive in order, so the expected ones come back in sequence.
    std::string want[] = {"debug", "info", "warning", "err"};
    bool passes[] = {tc.debug, tc.info, tc.warning, tc.err};
    int severity[] = {7, 6, 4, 3};
    for (int i = 0; i < 4; ++i) {
      if (passes[i]) {
        EXPECT_EQ(next(), header(2 * 8 + severity[i]) + want[i]);
      }
    }
    EXPECT_TRUE(silent());
  }
}

TEST_F(SyslogRecords, EachThreadNeedsItsOwnConnection) {
  useSettings(2, 6);
  std::thread([] { emit(Severity::Err, "no connection: dropped"); }).join();
  std::thread([] {
    openLogConnection();
    emit(Severity::Err, "own connection");
    closeLogConnection();
  }).join();
  EXPECT_EQ(next(), header(19) + "own connection");
  EXPECT_TRUE(silent());
}

TEST_F(SyslogRecords, NoSyslogDaemonLosesRecordsSilently) {
  setLogSocketPath(dir_.file("nobody-listens"));
  useSettings(2, 6);
  emit(Severity::Err, "lost");
  EXPECT_TRUE(silent());

  // There is no reconnection: once the receiver is gone, a new one at the
  // same path does not get the records of an existing connection.
  setLogSocketPath(dir_.file("log"));
  openLogConnection();
  receiver_.reset();
  emit(Severity::Err, "lost with the receiver");
  std::filesystem::remove(dir_.file("log"));
  auto fresh = testutil::bindDatagramSocket(dir_.file("log"));
  ASSERT_TRUE(fresh.has_value());
  receiver_ = std::move(*fresh);
  emit(Severity::Err, "lost: the connection is dead");
  EXPECT_TRUE(silent());
}

}  // namespace
}  // namespace quellsig
