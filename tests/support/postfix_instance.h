// PostfixInstance: a private Postfix (the Debian package) for end-to-end
// tests, run from its own configuration directory in a scratch directory:
// its queue, data, log and delivered mail all live there, it listens on
// loopback only, does no DNS and needs no syslog or system service.
//
// Two SMTP listeners on free loopback ports, and local submission:
// - filteredPort(): mail received here passes the smtpd_milters of the
//   options and is delivered to the maildir sink (every recipient in
//   example.test);
// - relayPort(): mail received here is queued unfiltered and then relayed
//   by Postfix's own SMTP client to the filtered port, so a filter that is
//   down defers it in the queue (status=deferred) instead of refusing it to
//   the submitter; flushQueue() then retries it at once;
// - sendmail(): mail submitted on the host passes the non_smtpd_milters;
//   a filter that is down leaves it in the maildrop directory, which
//   flushQueue() also retries.
//
// start() writes main.cf and master.cf (backdated: Postfix stalls on a
// configuration file younger than about two seconds), starts the master
// (which creates the queue tree) and returns once both ports are seen
// listening in the socket table (no probe connection, which the filter
// would see as a session). On failure it returns null with Postfix's output
// and log in *error. The destructor stops the instance ("postfix stop", then
// SIGKILL of the master if it lingers) and removes the directory. Requires
// root (the master starts as root and drops to the postfix user). One owner
// thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/support/private_dir.h"

namespace quellsig::testing {

struct PostfixOptions {
  // The main.cf settings that name the filters and how Postfix talks to
  // them (smtpd_milters, non_smtpd_milters, milter_*), written as given:
  // tests take them from the guide's main.cf block. Empty: no filter.
  std::vector<std::pair<std::string, std::string>> milter_settings;
  // Further main.cf settings (name, value), written last.
  std::vector<std::pair<std::string, std::string>> extra_settings;
};

// The outcome of one SMTP transaction.
struct SmtpOutcome {
  bool accepted = false;   // 250 after the message data
  int code = 0;            // the last reply code read
  std::string reply;       // the last reply line read
  std::string transcript;  // everything said, for failure messages
};

class PostfixInstance {
 public:
  static std::unique_ptr<PostfixInstance> start(PostfixOptions options, std::string* error);
  ~PostfixInstance();
  PostfixInstance(const PostfixInstance&) = delete;
  PostfixInstance& operator=(const PostfixInstance&) = delete;

  std::uint16_t filteredPort() const { return filtered_port_; }
  std::uint16_t relayPort() const { return relay_port_; }
  const std::string& dir() const { return dir_.path(); }

  // One SMTP transaction on the port: EHLO, MAIL, RCPT per recipient, DATA
  // with the message (wire form, CR LF; dot-stuffed here), QUIT. Stops at
  // the first reply that is not positive.
  SmtpOutcome submit(std::uint16_t port, std::string_view sender,
                     const std::vector<std::string>& recipients, std::string_view message);
  // Local submission through Postfix's sendmail command (message in wire
  // or LF form); false with its output in *error when it fails.
  bool sendmail(std::string_view sender, const std::vector<std::string>& recipients,
                std::string_view message, std::string* error);
  // The delivered messages (files in the maildir's new/), oldest name first.
  std::vector<std::string> delivered() const;
  // Polls until at least `count` messages are delivered or timeout_ms has
  // passed; returns what is there.
  std::vector<std::string> waitForDelivery(std::size_t count, std::uint32_t timeout_ms) const;
  // Polls the log until it holds `text` `count` times; false on timeout.
  bool waitForLog(std::string_view text, std::uint32_t timeout_ms, std::size_t count = 1) const;
  std::string log() const;
  // postqueue -f: every queued message is retried now.
  bool flushQueue(std::string* error);

 private:
  PostfixInstance() = default;
  bool launch(std::string* error);
  void stop();

  PostfixOptions options_;
  testutil::PrivateDir dir_;
  std::uint16_t filtered_port_ = 0;
  std::uint16_t relay_port_ = 0;
  bool running_ = false;
};

}  // namespace quellsig::testing
