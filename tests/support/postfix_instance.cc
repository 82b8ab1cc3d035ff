#include "tests/support/postfix_instance.h"

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "platform/blocking_stream.h"
#include "platform/clock.h"
#include "platform/inet_address.h"
#include "tests/support/child_process.h"
#include "tests/support/listening_ports.h"
#include "tests/support/nsd_server.h"
#include "tests/support/private_dir.h"
#include "tests/support/run_program.h"
#include "tests/support/text_file.h"

namespace quellsig::testing {
namespace {

constexpr const char* kPostfix = "/usr/sbin/postfix";
constexpr const char* kPostqueue = "/usr/sbin/postqueue";
constexpr const char* kSendmail = "/usr/sbin/sendmail";
constexpr std::string_view kAddress = "127.0.0.1";
constexpr std::uint32_t kSmtpTimeoutMs = 30000;
constexpr std::uint32_t kStartTimeoutMs = 10000;
constexpr std::uint32_t kPollMs = 50;

// Runs a program to its end; its output goes into *error when it fails.
bool run(std::vector<std::string> argv, std::string* output) {
  auto r = testutil::runProgram(argv, "");
  if (!r) {
    *output = argv[0] + ": " + std::string(errorName(r.error()));
    return false;
  }
  *output = r->out + r->err;
  if (r->exit_status != 0) {
    *output = argv[0] + " " + argv.back() + " failed: " + *output;
    return false;
  }
  return true;
}

std::string idOf(std::string_view flag, std::string_view user) {
  std::string out;
  if (!run({"/usr/bin/id", std::string(flag), std::string(user)}, &out)) return "";
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

std::uint16_t freePort(std::uint16_t other) {
  for (int tries = 0; tries < 10; ++tries) {
    const std::uint16_t port = pickFreePort(std::string(kAddress));
    if (port != 0 && port != other) return port;
  }
  return 0;
}

// Reads one SMTP reply (all its lines); returns its code, 0 when the
// connection failed.
int readReply(platform::BlockingStream& s, std::string& pending, SmtpOutcome& out) {
  for (;;) {
    const std::size_t eol = pending.find("\r\n");
    if (eol != std::string::npos) {
      const std::string line = pending.substr(0, eol);
      pending.erase(0, eol + 2);
      out.transcript.append("<- ").append(line).append("\n");
      if (line.size() >= 4 && line[3] == '-') continue;
      out.reply = line;
      out.code = line.size() >= 3 ? std::atoi(line.substr(0, 3).c_str()) : 0;
      return out.code;
    }
    char buf[4096];
    auto n = s.readSome(std::span(reinterpret_cast<std::uint8_t*>(buf), sizeof buf));
    if (!n || *n == 0) {
      out.transcript.append("(connection lost)\n");
      return 0;
    }
    pending.append(buf, *n);
  }
}

std::string dotStuffed(std::string_view message) {
  std::string out;
  out.reserve(message.size() + 16);
  bool line_start = true;
  for (char c : message) {
    if (line_start && c == '.') out.push_back('.');
    out.push_back(c);
    line_start = c == '\n';
  }
  if (!out.empty() && !out.ends_with("\r\n")) out.append("\r\n");
  return out;
}

}  // namespace

std::unique_ptr<PostfixInstance> PostfixInstance::start(PostfixOptions options,
                                                        std::string* error) {
  std::unique_ptr<PostfixInstance> instance(new PostfixInstance());
  auto dir = testutil::PrivateDir::create("pfx");
  if (!dir) {
    *error = "cannot create a temporary directory";
    return nullptr;
  }
  instance->dir_ = std::move(*dir);
  instance->options_ = std::move(options);
  for (int tries = 0; tries < 3; ++tries) {
    if (instance->launch(error)) return instance;
  }
  return nullptr;
}

bool PostfixInstance::launch(std::string* error) {
  namespace fs = std::filesystem;
  const std::string& d = dir_.path();
  const std::string etc = d + "/etc";
  filtered_port_ = freePort(0);
  relay_port_ = freePort(filtered_port_);
  const std::string uid = idOf("-u", "nobody");
  const std::string gid = idOf("-g", "nobody");
  if (filtered_port_ == 0 || relay_port_ == 0 || uid.empty() || gid.empty()) {
    *error = "no free port, or no user nobody";
    return false;
  }
  std::error_code ec;
  // The postfix and nobody users must reach their directories below ours.
  fs::permissions(d, fs::perms(0755), fs::perm_options::replace, ec);
  for (const char* sub : {"/etc", "/queue", "/data", "/log", "/mail"})
    fs::create_directories(d + sub, ec);
  std::string out;
  if (!run({"/bin/chown", "postfix", d + "/data"}, &out) ||
      !run({"/bin/chown", uid + ":" + gid, d + "/mail"}, &out)) {
    *error = out;
    return false;
  }

  const PostfixOptions& o = options_;
  std::ostringstream main;
  main << "compatibility_level = 3.6\n"
       << "queue_directory = " << d << "/queue\n"
       << "data_directory = " << d << "/data\n"
       << "myhostname = mx.example.test\n"
       << "inet_interfaces = " << kAddress << "\n"
       << "inet_protocols = ipv4\n"
       << "mynetworks = 127.0.0.0/8\n"
       << "mydestination =\n"
       << "alias_maps =\n"
       << "alias_database =\n"
       << "local_recipient_maps =\n"
       << "smtputf8_enable = no\n"
       << "biff = no\n"
       << "maillog_file = " << d << "/log/postfix.log\n"
       << "maillog_file_prefixes = " << d << "/log\n"
       << "smtp_dns_support_level = disabled\n"
       << "lmtp_dns_support_level = disabled\n"
       << "smtp_host_lookup = native\n"
       << "smtpd_peername_lookup = no\n"
       << "virtual_mailbox_domains = example.test\n"
       << "virtual_mailbox_base = " << d << "/mail\n"
       << "virtual_mailbox_maps = static:sink/\n"
       << "virtual_uid_maps = static:" << uid << "\n"
       << "virtual_gid_maps = static:" << gid << "\n"
       << "queue_run_delay = 10s\n"
       << "minimal_backoff_time = 10s\n"
       << "maximal_backoff_time = 30s\n";
  for (const auto& [name, value] : o.milter_settings) main << name << " = " << value << "\n";
  for (const auto& [name, value] : o.extra_settings) main << name << " = " << value << "\n";

  const std::string filtered = std::string(kAddress) + ":" + std::to_string(filtered_port_);
  std::ostringstream master;
  // The filtered smtpd names itself differently: Postfix's SMTP client
  // refuses to relay to a server greeting with its own host name.
  master << filtered << " inet n - n - - smtpd -o myhostname=filter.example.test\n"
         << kAddress << ":" << relay_port_
         << " inet n - n - - smtpd -o smtpd_milters= -o content_filter=smtp:[" << kAddress
         << "]:" << filtered_port_ << "\n"
         << "pickup unix n - n 60 1 pickup\n"
         << "cleanup unix n - n - 0 cleanup\n"
         << "qmgr unix n - n 300 1 qmgr\n"
         << "rewrite unix - - n - - trivial-rewrite\n"
         << "bounce unix - - n - 0 bounce\n"
         << "defer unix - - n - 0 bounce\n"
         << "trace unix - - n - 0 bounce\n"
         << "verify unix - - n - 1 verify\n"
         << "flush unix n - n 1000? 0 flush\n"
         << "proxymap unix - - n - - proxymap\n"
         << "smtp unix - - n - - smtp\n"
         << "showq unix n - n - - showq\n"
         << "error unix - - n - - error\n"
         << "retry unix - - n - - error\n"
         << "discard unix - - n - - discard\n"
         << "virtual unix - n n - - virtual\n"
         << "anvil unix - - n - 1 anvil\n"
         << "scache unix - - n - 1 scache\n"
         << "postlog unix-dgram n - n - 1 postlogd\n";
  if (!writeTextFile(etc + "/main.cf", main.str()) ||
      !writeTextFile(etc + "/master.cf", master.str())) {
    *error = "cannot write the configuration";
    return false;
  }
  // A configuration file younger than about two seconds makes every Postfix
  // command wait for it to settle.
  const auto past = fs::file_time_type::clock::now() - std::chrono::seconds(10);
  fs::last_write_time(etc + "/main.cf", past, ec);
  fs::last_write_time(etc + "/master.cf", past, ec);

  // "start" creates the queue tree as "check" would.
  if (!run({kPostfix, "-c", etc, "start"}, &out)) {
    *error = out + "\n" + log();
    return false;
  }
  running_ = true;
  if (testutil::waitUntilListening(kAddress, {filtered_port_, relay_port_}, kStartTimeoutMs)) {
    return true;
  }
  *error = "postfix did not listen: " + log();
  stop();
  return false;
}

PostfixInstance::~PostfixInstance() { stop(); }

void PostfixInstance::stop() {
  if (!running_) return;
  running_ = false;
  const std::string pid_text = readTextFile(dir_.path() + "/queue/pid/master.pid");
  const int pid = std::atoi(pid_text.c_str());
  std::string out;
  run({kPostfix, "-c", dir_.path() + "/etc", "stop"}, &out);
  if (pid <= 0) return;
  // The master ends its children and then itself; the queue directory must
  // not be removed under it.
  const std::uint64_t deadline = platform::monotonicMillis() + 5000;
  while (testutil::sendSignal(pid, 0) && platform::monotonicMillis() < deadline) {
    platform::sleepMillis(kPollMs);
  }
  if (testutil::sendSignal(pid, 0)) testutil::sendSignal(pid, 9);
}

SmtpOutcome PostfixInstance::submit(std::uint16_t port, std::string_view sender,
                                    const std::vector<std::string>& recipients,
                                    std::string_view message) {
  SmtpOutcome out;
  auto address = platform::parseIpLiteral(kAddress, port);
  auto stream = platform::BlockingStream::connectInet(*address, kSmtpTimeoutMs);
  if (!stream || !stream->setTimeouts(kSmtpTimeoutMs)) {
    out.transcript = "cannot connect";
    return out;
  }
  std::string pending;
  auto say = [&](const std::string& line) {
    out.transcript.append("-> ").append(line).append("\n");
    return static_cast<bool>(stream->writeAll(line + "\r\n"));
  };
  auto exchange = [&](const std::string& line, int want_class) {
    if (!say(line)) return false;
    return readReply(*stream, pending, out) / 100 == want_class;
  };
  if (readReply(*stream, pending, out) / 100 != 2) return out;
  if (!exchange("EHLO client.example.test", 2)) return out;
  if (!exchange("MAIL FROM:<" + std::string(sender) + ">", 2)) return out;
  for (const std::string& rcpt : recipients) {
    if (!exchange("RCPT TO:<" + rcpt + ">", 2)) return out;
  }
  if (!exchange("DATA", 3)) return out;
  const std::string data = dotStuffed(message) + ".\r\n";
  out.transcript.append("-> (").append(std::to_string(data.size())).append(" bytes)\n");
  if (!stream->writeAll(data)) return out;
  out.accepted = readReply(*stream, pending, out) == 250;
  const SmtpOutcome kept = out;
  exchange("QUIT", 2);
  out.code = kept.code;
  out.reply = kept.reply;
  return out;
}

std::vector<std::string> PostfixInstance::delivered() const {
  namespace fs = std::filesystem;
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir_.path() + "/mail/sink/new", ec)) {
    names.push_back(entry.path().string());
  }
  std::ranges::sort(names);
  std::vector<std::string> messages;
  for (const std::string& name : names) messages.push_back(readTextFile(name));
  return messages;
}

std::vector<std::string> PostfixInstance::waitForDelivery(std::size_t count,
                                                          std::uint32_t timeout_ms) const {
  const std::uint64_t deadline = platform::monotonicMillis() + timeout_ms;
  for (;;) {
    std::vector<std::string> messages = delivered();
    if (messages.size() >= count || platform::monotonicMillis() >= deadline) return messages;
    platform::sleepMillis(kPollMs);
  }
}

bool PostfixInstance::waitForLog(std::string_view text, std::uint32_t timeout_ms,
                                 std::size_t count) const {
  const std::uint64_t deadline = platform::monotonicMillis() + timeout_ms;
  for (;;) {
    const std::string all = log();
    std::size_t seen = 0;
    for (std::size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) {
      ++seen;
    }
    if (seen >= count) return true;
    if (platform::monotonicMillis() >= deadline) return false;
    platform::sleepMillis(kPollMs);
  }
}

std::string PostfixInstance::log() const { return readTextFile(dir_.path() + "/log/postfix.log"); }

bool PostfixInstance::sendmail(std::string_view sender, const std::vector<std::string>& recipients,
                               std::string_view message, std::string* error) {
  // The command reads the message from its standard input, which
  // runProgram leaves at /dev/null: a shell redirects it from a file.
  const std::string file = dir_.path() + "/submit.eml";
  if (!writeTextFile(file, std::string(message))) {
    *error = "cannot write " + file;
    return false;
  }
  std::string command = std::string("exec ") + kSendmail + " -C " + dir_.path() + "/etc -f " +
                        std::string(sender) + " --";
  for (const std::string& rcpt : recipients) command += " " + rcpt;
  command += " < " + file;
  return run({"/bin/sh", "-c", command}, error);
}

bool PostfixInstance::flushQueue(std::string* error) {
  return run({kPostqueue, "-c", dir_.path() + "/etc", "-f"}, error);
}

}  // namespace quellsig::testing
