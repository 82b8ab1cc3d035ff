// NullMilter: a minimal filter for measuring and testing the MTA side. It
// answers every command at once and does no work: 'O' with version 6 and
// the offer intersected with ADDHDRS|CHGHDRS and the leading-space flag,
// 'c' to every command that wants a reply (none to D, A, K; Q closes), and
// at end of message the scripted header changes followed by the final reply,
// all in one write.
//
// start() listens on the target (an inet target with port 0 gets a free
// port; target() then names it) and serves each connection on its own
// thread. A malformed or oversized packet closes that connection. stop()
// (and the destructor) closes the listener, ends every connection within
// about 100 ms and joins the threads. The counters may be read from any
// thread; everything else belongs to the owner thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/blocking_stream.h"
#include "platform/error.h"
#include "platform/thread.h"
#include "tests/support/milter_client.h"

namespace quellsig::testing {

struct NullMilterOptions {
  std::vector<HeaderChange> changes;  // sent before the final reply to 'E'
  std::uint8_t final_reply = 'c';
};

class NullMilter {
 public:
  static Result<std::unique_ptr<NullMilter>> start(const MilterTarget& where,
                                                   NullMilterOptions options = {});
  ~NullMilter();
  NullMilter(const NullMilter&) = delete;
  NullMilter& operator=(const NullMilter&) = delete;

  const MilterTarget& target() const { return target_; }
  std::uint64_t connections() const { return connections_.load(); }
  // Messages answered at 'E'.
  std::uint64_t messages() const { return messages_.load(); }
  // The header fields (name, value as received) of the last message
  // answered at 'E', on any connection.
  std::vector<std::pair<std::string, std::string>> lastHeaders();
  void stop();

 private:
  NullMilter(platform::StreamListener listener, MilterTarget target, NullMilterOptions options)
      : listener_(std::move(listener)), target_(std::move(target)), options_(std::move(options)) {}
  void acceptLoop();
  void serve(platform::BlockingStream stream);

  platform::StreamListener listener_;
  MilterTarget target_;
  const NullMilterOptions options_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> connections_{0};
  std::atomic<std::uint64_t> messages_{0};
  platform::Thread acceptor_;
  std::mutex mutex_;  // guards workers_ and last_headers_
  std::vector<platform::Thread> workers_;
  std::vector<std::pair<std::string, std::string>> last_headers_;
};

}  // namespace quellsig::testing
