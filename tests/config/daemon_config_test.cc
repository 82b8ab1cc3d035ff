#include "config/daemon_config.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tests/config/config_text.h"
#include "tests/support/datagram_socket.h"
#include "tests/support/temp_dir.h"

namespace quellsig {
namespace {

using testutil::parseText;

TEST(DaemonConfigTest, EmptyFileGivesEveryDefault) {
  auto c = parseText("");
  ASSERT_TRUE(c.has_value()) << errorName(c.error());
  EXPECT_EQ(c->authserv_id, "localhost");
  EXPECT_EQ(c->worker_threads, 0u);
  EXPECT_EQ(c->max_connections, 256u);
  EXPECT_EQ(c->pid_file, "/var/run/quellsig/quellsig.pid");
  EXPECT_FALSE(c->foreground);
  EXPECT_FALSE(c->user.has_value());
  EXPECT_FALSE(c->umask.has_value());
  EXPECT_EQ(c->default_mode, ListenerMode::Verify);
  EXPECT_FALSE(c->refuse_body_length);
  EXPECT_EQ(c->nameservers, std::vector<std::string>{"127.0.0.1"});
  EXPECT_EQ(c->dns_timeout_ms, 5000u);
  EXPECT_EQ(c->dns_retries, 2u);
  EXPECT_EQ(c->dns_cache_size, 1000u);
  EXPECT_EQ(c->dns_negative_ttl, 60u);
  EXPECT_EQ(c->signed_headers, "from:to:subject:date:message-id");
  EXPECT_EQ(c->oversign_headers, "from");
  EXPECT_EQ(c->max_key_records, 3u);
  EXPECT_EQ(c->max_evaluation_ms, 20000);
  EXPECT_FALSE(c->strip_auth_results);
  EXPECT_FALSE(c->multi_sign);
  EXPECT_EQ(c->max_body_bytes, 10485760u);
  EXPECT_EQ(c->max_headers, 500u);
  EXPECT_EQ(c->max_header_bytes, 1048576u);
  EXPECT_EQ(c->max_signatures, 20u);
  EXPECT_EQ(c->minimum_key_bits, 1024u);
  EXPECT_FALSE(c->minimum_key_bits_raised);
  EXPECT_FALSE(c->zmq_endpoint.has_value());
  EXPECT_EQ(c->zmq_topic, "dkim");
  ASSERT_EQ(c->listeners.size(), 1u);
  EXPECT_EQ(c->listeners[0], (ListenerSpec{"127.0.0.1", 8891, false}));
  EXPECT_EQ(c->listener_modes, std::vector<ListenerMode>{ListenerMode::Verify});
  EXPECT_FALSE(c->signing_table || c->key_table || c->domain || c->selector || c->key_file);
}

// One accepted configuration and what it must give.
struct ValueCase {
  const char* name;
  std::string text;
  std::function<void(const DaemonConfig&)> check;
};

TEST(DaemonConfigTest, ValueGrammars) {
  const ValueCase cases[] = {
      {"size with M", "MaxBodyBytes = 5M",
       [](const auto& c) { EXPECT_EQ(c.max_body_bytes, 5242880u); }},
      {"size with space and MB", "MaxBodyBytes = 5 MB",
       [](const auto& c) { EXPECT_EQ(c.max_body_bytes, 5242880u); }},
      {"size with k", "MaxHeaderBytes = 512k",
       [](const auto& c) { EXPECT_EQ(c.max_header_bytes, 524288u); }},
      {"size with G and b", "MaxBodyBytes = 2Gb",
       [](const auto& c) { EXPECT_EQ(c.max_body_bytes, 2147483648u); }},
      {"plain size", "MaxBodyBytes = 2048",
       [](const auto& c) { EXPECT_EQ(c.max_body_bytes, 2048u); }},
      {"size of one b", "MaxBodyBytes = 1b",
       [](const auto& c) { EXPECT_EQ(c.max_body_bytes, 1u); }},
      {"size B alone is invalid", "MaxBodyBytes = B",
       [](const auto& c) { EXPECT_EQ(c.max_body_bytes, 10485760u); }},
      {"size that is words", "MaxBodyBytes = lots",
       [](const auto& c) { EXPECT_EQ(c.max_body_bytes, 10485760u); }},
      {"size overflowing 64 bits", "MaxBodyBytes = 17179869184G",
       [](const auto& c) { EXPECT_EQ(c.max_body_bytes, 10485760u); }},
      {"negative integer", "MaxConnections = -1",
       [](const auto& c) { EXPECT_EQ(c.max_connections, 256u); }},
      {"minus zero", "MaxConnections = -0",
       [](const auto& c) { EXPECT_EQ(c.max_connections, 0u); }},
      {"minus zeros with underscore", "MaxConnections = -0_0",
       [](const auto& c) { EXPECT_EQ(c.max_connections, 0u); }},
      {"underscores", "WorkerThreads = 1_000",
       [](const auto& c) { EXPECT_EQ(c.worker_threads, 1000u); }},
      {"leading underscore", "WorkerThreads = _1",
       [](const auto& c) { EXPECT_EQ(c.worker_threads, 0u); }},
      {"trailing underscore", "WorkerThreads = 1_",
       [](const auto& c) { EXPECT_EQ(c.worker_threads, 0u); }},
      {"plus sign", "MaxConnections = +12",
       [](const auto& c) { EXPECT_EQ(c.max_connections, 12u); }},
      // The sign is the first character, so an underscore may follow it.
      {"minus then underscore", "MaxConnections = -_0",
       [](const auto& c) { EXPECT_EQ(c.max_connections, 0u); }},
      {"plus then underscore", "MaxConnections = +_2048",
       [](const auto& c) { EXPECT_EQ(c.max_connections, 2048u); }},
      {"sign and underscores only", "MaxConnections = +_",
       [](const auto& c) { EXPECT_EQ(c.max_connections, 256u); }},
      {"negative budget after an underscore", "MaxEvaluationMs = -_5",
       [](const auto& c) { EXPECT_EQ(c.max_evaluation_ms, -5); }},
      {"tab inside a text", "AuthservID = mx\tone",
       [](const auto& c) { EXPECT_EQ(c.authserv_id, "mx\tone"); }},
      {"8-bit overflow", "MaxKeyRecords = 300",
       [](const auto& c) { EXPECT_EQ(c.max_key_records, 3u); }},
      {"8-bit maximum", "DnsRetries = 255", [](const auto& c) { EXPECT_EQ(c.dns_retries, 255u); }},
      {"32-bit overflow", "MaxConnections = 4294967296",
       [](const auto& c) { EXPECT_EQ(c.max_connections, 256u); }},
      {"64-bit maximum", "MaxHeaders = 18446744073709551615",
       [](const auto& c) { EXPECT_EQ(c.max_headers, 18446744073709551615u); }},
      {"empty integer", "MaxSignatures =", [](const auto& c) { EXPECT_EQ(c.max_signatures, 20u); }},
      {"negative evaluation budget", "MaxEvaluationMs = -5",
       [](const auto& c) { EXPECT_EQ(c.max_evaluation_ms, -5); }},
      {"smallest evaluation budget", "MaxEvaluationMs = -9223372036854775808",
       [](const auto& c) { EXPECT_EQ(c.max_evaluation_ms, INT64_MIN); }},
      {"invalid evaluation budget", "MaxEvaluationMs = soon",
       [](const auto& c) { EXPECT_EQ(c.max_evaluation_ms, 20000); }},
      {"boolean yes any case", "Foreground = YeS",
       [](const auto& c) { EXPECT_TRUE(c.foreground); }},
      {"boolean 1", "MultiSign = 1", [](const auto& c) { EXPECT_TRUE(c.multi_sign); }},
      {"boolean FALSE", "StripAuthResults = FALSE",
       [](const auto& c) { EXPECT_FALSE(c.strip_auth_results); }},
      {"boolean maybe", "Foreground = maybe", [](const auto& c) { EXPECT_FALSE(c.foreground); }},
      {"umask 027", "UMask = 027", [](const auto& c) { EXPECT_EQ(c.umask, 027); }},
      {"umask 0", "UMask = 0", [](const auto& c) { EXPECT_EQ(c.umask, 0); }},
      {"empty user is set", "User =", [](const auto& c) { EXPECT_EQ(c.user, ""); }},
      {"user and group", "User = mail:mail", [](const auto& c) { EXPECT_EQ(c.user, "mail:mail"); }},
      {"body length refuse", "BodyLengthTag = refuse",
       [](const auto& c) { EXPECT_TRUE(c.refuse_body_length); }},
      {"body length honour", "BodyLengthTag = honour",
       [](const auto& c) { EXPECT_FALSE(c.refuse_body_length); }},
      {"nameserver list", "DnsNameserver = 192.0.2.1 , ,\t::1,",
       [](const auto& c) {
         EXPECT_EQ(c.nameservers, (std::vector<std::string>{"192.0.2.1", "::1"}));
       }},
      {"empty nameserver list",
       "DnsNameserver =", [](const auto& c) { EXPECT_TRUE(c.nameservers.empty()); }},
      {"dns timeout in ms", "DnsTimeout = 3",
       [](const auto& c) { EXPECT_EQ(c.dns_timeout_ms, 3000u); }},
      {"dns timeout 0 means default", "DnsTimeout = 0",
       [](const auto& c) { EXPECT_EQ(c.dns_timeout_ms, 5000u); }},
      {"largest dns timeout that fits", "DnsTimeout = 4294967",
       [](const auto& c) { EXPECT_EQ(c.dns_timeout_ms, 4294967000u); }},
      {"dns timeout clamps", "DnsTimeout = 4294968",
       [](const auto& c) { EXPECT_EQ(c.dns_timeout_ms, 4294967295u); }},
      {"cache size 0 kept for the cache", "DnsCacheSize = 0",
       [](const auto& c) { EXPECT_EQ(c.dns_cache_size, 0u); }},
      {"minimum key bits raised", "MinimumKeyBits = 512",
       [](const auto& c) {
         EXPECT_EQ(c.minimum_key_bits, 1024u);
         EXPECT_TRUE(c.minimum_key_bits_raised);
       }},
      {"minimum key bits above the floor", "MinimumKeyBits = 2048",
       [](const auto& c) {
         EXPECT_EQ(c.minimum_key_bits, 2048u);
         EXPECT_FALSE(c.minimum_key_bits_raised);
       }},
      {"unparsable key bits keep the default", "MinimumKeyBits = many",
       [](const auto& c) { EXPECT_FALSE(c.minimum_key_bits_raised); }},
      {"texts verbatim", "AuthservID = mx.example\nZmqEndpoint = tcp://127.0.0.1:5555\nZmqTopic =",
       [](const auto& c) {
         EXPECT_EQ(c.authserv_id, "mx.example");
         EXPECT_EQ(c.zmq_endpoint, "tcp://127.0.0.1:5555");
         EXPECT_EQ(c.zmq_topic, "");
       }},
      {"global mode applies to the default listener", "Mode = both",
       [](const auto& c) {
         EXPECT_EQ(c.listener_modes, std::vector<ListenerMode>{ListenerMode::Both});
       }},
      {"keys before any header belong to global", "Foreground = yes\n[listener:a]\nSocket = 1",
       [](const auto& c) { EXPECT_TRUE(c.foreground); }},
      {"other sections are checked and ignored", "[misc]\nAuthservID = elsewhere",
       [](const auto& c) { EXPECT_EQ(c.authserv_id, "localhost"); }},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    auto c = parseText(tc.text);
    ASSERT_TRUE(c.has_value()) << errorName(c.error());
    tc.check(*c);
  }
}

TEST(DaemonConfigTest, ListenerSectionsInOrderWithModesAndSigningKeys) {
  auto c = parseText(
      "Mode = sign\n"
      "[listener:b]\n"
      "Socket = inet:25@::1\n"
      "KeyTable = /etc/kt.b\n"
      "Domain = b.example\n"
      "[listener:a]\n"
      "Socket = unix:/run/a.sock\n"
      "Mode = verify\n"
      "KeyTable = /etc/kt.a\n"
      "[listener:b]\n"
      "Mode = both\n"
      "Domain = b2.example\n"
      "[listener:c]\n"
      "Socket = 8891\n");
  ASSERT_TRUE(c.has_value()) << errorName(c.error());
  ASSERT_EQ(c->listeners.size(), 3u);
  EXPECT_EQ(c->listeners[0], (ListenerSpec{"::1", 25, false}));
  EXPECT_EQ(c->listeners[1], (ListenerSpec{"/run/a.sock", 0, true}));
  EXPECT_EQ(c->listeners[2], (ListenerSpec{"0.0.0.0", 8891, false}));
  // The second [listener:b] header continues the first.
  EXPECT_EQ(c->listener_modes, (std::vector<ListenerMode>{ListenerMode::Both, ListenerMode::Verify,
                                                          ListenerMode::Sign}));
  // The last listener section naming a signing key wins.
  EXPECT_EQ(c->key_table, "/etc/kt.a");
  EXPECT_EQ(c->domain, "b2.example");
  EXPECT_FALSE(c->signing_table.has_value());
}

TEST(DaemonConfigTest, ListenAddresses) {
  struct Case {
    std::string value;
    Result<ListenerSpec> want;
  } cases[] = {
      {"8891", ListenerSpec{"0.0.0.0", 8891, false}},
      {"inet:8891", ListenerSpec{"0.0.0.0", 8891, false}},
      {"inet:65535@255.255.255.255", ListenerSpec{"255.255.255.255", 65535, false}},
      {"inet:1_0@10.0.0.1", ListenerSpec{"10.0.0.1", 10, false}},
      {"inet:+_8891@::1", ListenerSpec{"::1", 8891, false}},
      {"inet:25@2001:db8::1", ListenerSpec{"2001:db8::1", 25, false}},
      {"inet:25@::ffff:192.0.2.1", ListenerSpec{"::ffff:192.0.2.1", 25, false}},
      {"inet:25@::", ListenerSpec{"::", 25, false}},
      {"unix:/var/run/q.sock", ListenerSpec{"/var/run/q.sock", 0, true}},
      {"/var/run/x.sock", ListenerSpec{"/var/run/x.sock", 0, true}},
      {"inet:70000@127.0.0.1", fail(Error::InvalidPort)},
      {"inet:@127.0.0.1", fail(Error::InvalidPort)},
      {"inet:port", fail(Error::InvalidPort)},
      {"", fail(Error::InvalidPort)},
      {"inet:-1", fail(Error::InvalidPort)},
      {"inet:8891@localhost", fail(Error::InvalidHost)},
      {"inet:8891@", fail(Error::InvalidHost)},
      {"inet:8891@127.0.0.01", fail(Error::InvalidHost)},
      {"inet:8891@256.0.0.1", fail(Error::InvalidHost)},
      {"inet:8891@1.2.3", fail(Error::InvalidHost)},
      {"inet:8891@1.2.3.4.5", fail(Error::InvalidHost)},
      {"inet:8891@[::1]", fail(Error::InvalidHost)},
      {"inet:8891@fe80::1%eth0", fail(Error::InvalidHost)},
      {"inet:8891@1:2:3:4:5:6:7:8:9", fail(Error::InvalidHost)},
      {"unix:", fail(Error::InvalidPath)},
      {"unix:/" + std::string(102, 'a'), ListenerSpec{"/" + std::string(102, 'a'), 0, true}},
      {"unix:/" + std::string(103, 'a'), fail(Error::InvalidPath)},
      {"/" + std::string(103, 'a'), fail(Error::InvalidPath)},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.value);
    auto got = parseListenAddress(tc.value);
    ASSERT_EQ(got.has_value(), tc.want.has_value()) << (got ? "accepted" : errorName(got.error()));
    if (got) {
      EXPECT_EQ(*got, *tc.want);
    } else {
      EXPECT_EQ(got.error(), tc.want.error()) << errorName(got.error());
    }
  }
  // The longest IPv6 text form is 45 characters.
  const std::string longest = "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255";
  ASSERT_EQ(longest.size(), 45u);
  auto got = parseListenAddress("1@" + longest);
  ASSERT_TRUE(got.has_value()) << errorName(got.error());
  EXPECT_EQ(*got, (ListenerSpec{longest, 1, false}));
}

// Captures the parser's log records on a temporary syslog socket.
class ParserMessages : public ::testing::Test {
 protected:
  void SetUp() override {
    auto fd = testutil::bindDatagramSocket(dir_.file("log"));
    ASSERT_TRUE(fd.has_value());
    receiver_ = std::move(*fd);
    setLogSocketPath(dir_.file("log"));
    configureLogging(LogSettings{true, 2, 7, "quellsig"});
    openLogConnection();
  }
  void TearDown() override {
    closeLogConnection();
    configureLogging(LogSettings{});
  }
  // The text of the next record, after "<pri>quellsig[pid]: ".
  std::string nextText() {
    auto d = testutil::receiveDatagram(receiver_.get(), 2000);
    if (!d || !*d) return "<no record>";
    auto colon = (*d)->find("]: ");
    return colon == std::string::npos ? **d : (*d)->substr(colon + 3);
  }
  bool noMoreRecords() {
    auto d = testutil::receiveDatagram(receiver_.get(), 50);
    return d && !*d;
  }

  testutil::TempDir dir_;
  platform::UniqueFd receiver_;
};

TEST_F(ParserMessages, ErrorsAndTheirMessages) {
  struct Case {
    const char* name;
    std::string text;
    Error want;
    std::string message;  // empty: the parser emits none
  } cases[] = {
      {"global key in a listener", "[listener:a]\nSocket = 1\nMaxHeaders = 10",
       Error::InvalidConfiguration,
       "config: [listener:a] key \"MaxHeaders\" is a global key with no effect here; move it to "
       "[global]. Refusing to start"},
      {"listener key in global", "Socket = 8891", Error::InvalidConfiguration,
       "config: [global] unrecognized key \"Socket\" (typo?); refusing to start"},
      {"unknown key in listener", "[listener:a]\nSocket = 1\nSokcet = 2",
       Error::InvalidConfiguration,
       "config: [listener:a] unrecognized key \"Sokcet\" (typo?); refusing to start"},
      {"unknown key in another section", "[misc]\nFoo = 1", Error::InvalidConfiguration,
       "config: [misc] unrecognized key \"Foo\" (typo?); refusing to start"},
      {"key names are exact", "authservid = x", Error::InvalidConfiguration,
       "config: [global] unrecognized key \"authservid\" (typo?); refusing to start"},
      // A NUL in AuthservID would go into every Authentication-Results field.
      {"NUL in a value", std::string("AuthservID = mx\0evil", 21), Error::InvalidConfiguration,
       "config: [global] key \"AuthservID\" holds a control byte in its value; refusing to start"},
      {"escape in a listener value", "[listener:a]\nSocket = 1\nDomain = a\x1b[0m",
       Error::InvalidConfiguration,
       "config: [listener:a] key \"Domain\" holds a control byte in its value; refusing to "
       "start"},
      {"DEL in a value", "ZmqTopic = d\x7fkim", Error::InvalidConfiguration,
       "config: [global] key \"ZmqTopic\" holds a control byte in its value; refusing to start"},
      {"carriage return inside a value", "PidFile = /run/a\rb", Error::InvalidConfiguration,
       "config: [global] key \"PidFile\" holds a control byte in its value; refusing to start"},
      {"missing socket", "[listener:a]\nMode = sign", Error::MissingListenerSocket,
       "config: [listener:a] has no Socket setting -- a listener section must name an address"},
      {"host name", "[listener:a]\nSocket = inet:8891@localhost", Error::InvalidListenerSocket,
       "config: [listener:a] Socket=inet:8891@localhost is not a valid listen address "
       "(error.InvalidHost) -- expected inet:port@ip or unix:/path"},
      {"port too big", "[listener:a]\nSocket = inet:70000@127.0.0.1", Error::InvalidListenerSocket,
       "config: [listener:a] Socket=inet:70000@127.0.0.1 is not a valid listen address "
       "(error.InvalidPort) -- expected inet:port@ip or unix:/path"},
      {"mode names are exact", "Mode = Sign", Error::InvalidMode, ""},
      {"empty mode", "Mode =", Error::InvalidMode, ""},
      {"mode with a trailing comment", "Mode = sign # comment", Error::InvalidMode, ""},
      {"listener mode", "[listener:a]\nSocket = 1\nMode = all", Error::InvalidMode, ""},
      {"umask with 0o", "UMask = 0o22", Error::InvalidMode, ""},
      {"umask with 8", "UMask = 08", Error::InvalidMode, ""},
      {"empty umask", "UMask =", Error::InvalidMode, ""},
      {"umask over 16 bits", "UMask = 200000", Error::InvalidMode, ""},
      {"body length tag", "BodyLengthTag = Honor", Error::InvalidBodyLengthTag, ""},
      // Which error wins when several keys are wrong: the parsing order.
      {"body length tag before umask", "UMask = 9\nBodyLengthTag = no", Error::InvalidBodyLengthTag,
       ""},
      {"global mode before a listener's socket", "Mode = x\n[listener:a]\nMode = sign",
       Error::InvalidMode, ""},
      {"missing socket before the listener's mode", "[listener:a]\nMode = x",
       Error::MissingListenerSocket,
       "config: [listener:a] has no Socket setting -- a listener section must name an address"},
      {"bad socket before the listener's mode", "[listener:a]\nSocket = inet:99999\nMode = x",
       Error::InvalidListenerSocket,
       "config: [listener:a] Socket=inet:99999 is not a valid listen address (error.InvalidPort) "
       "-- expected inet:port@ip or unix:/path"},
      {"listeners in order of first appearance",
       "[listener:a]\nSocket = 1\n[listener:b]\n[listener:a]\nMode = x", Error::InvalidMode, ""},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    auto c = parseText(tc.text);
    ASSERT_FALSE(c.has_value());
    EXPECT_EQ(c.error(), tc.want) << errorName(c.error());
    if (!tc.message.empty()) {
      EXPECT_EQ(nextText(), tc.message);
    }
    EXPECT_TRUE(noMoreRecords());
  }
}

TEST_F(ParserMessages, KeyCheckStopsAtTheFirstOffendingKeyBeforeOtherErrors) {
  // The bad Mode in [global] is never reached: the key check runs first.
  auto c = parseText("Mode = wrong\n[listener:a]\nPidFile = /x\nNope = 1");
  ASSERT_FALSE(c.has_value());
  EXPECT_EQ(c.error(), Error::InvalidConfiguration);
  EXPECT_EQ(nextText(),
            "config: [listener:a] key \"PidFile\" is a global key with no effect here; move it "
            "to [global]. Refusing to start");
  EXPECT_TRUE(noMoreRecords());
}

TEST(LogSettingsFromConfigTest, SyslogFacilityAndLevel) {
  struct Case {
    const char* name;
    std::string text;
    bool syslog;
    int facility;
    int level;
  } cases[] = {
      {"defaults", "", true, 2, 6},
      {"syslog off", "Syslog = no", false, 2, 6},
      {"syslog maybe stays on", "Syslog = maybe", true, 2, 6},
      {"facility any case", "SyslogFacility = LOCAL3", true, 19, 6},
      {"facility daemon", "SyslogFacility = daemon", true, 3, 6},
      {"facility auth", "SyslogFacility = auth", true, 4, 6},
      {"facility local7", "SyslogFacility = local7", true, 23, 6},
      {"unknown facility is mail", "SyslogFacility = local8", true, 2, 6},
      {"level err", "LogLevel = err", true, 2, 3},
      {"level ERROR", "LogLevel = ERROR", true, 2, 3},
      {"level warn", "LogLevel = warn", true, 2, 4},
      {"level warning", "LogLevel = Warning", true, 2, 4},
      {"level debug", "LogLevel = debug", true, 2, 7},
      {"level verbose is info", "LogLevel = verbose", true, 2, 6},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    auto file = parseConfigText(tc.text);
    ASSERT_TRUE(file.has_value());
    LogSettings s = logSettingsFromConfig(*file);
    EXPECT_EQ(s.syslog, tc.syslog);
    EXPECT_EQ(s.facility, tc.facility);
    EXPECT_EQ(s.level, tc.level);
    EXPECT_EQ(s.identity, "quellsig");
  }
}

}  // namespace
}  // namespace quellsig
