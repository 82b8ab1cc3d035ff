// ZmqResultPublisher: announces outcomes as single frames "topic JSON" (see
// result_frame.h) on a ZeroMQ PUB socket that connects to an endpoint.
//
// The socket is set up on the first publish(), once: without an endpoint, or
// when the endpoint is 512 bytes or longer, or when creating or connecting the
// socket fails, the publisher stays without a socket for good and drops every
// record. Nothing is logged and nothing is retried. Sends never wait: a full
// queue (1000 records) or an absent subscriber drops the record, and closing
// discards what is still queued, so neither a slow subscriber nor shutdown can
// stall the owner.
//
// A publisher and its socket belong to one thread. threadResultPublisher()
// gives the calling thread its own, configured from ZmqEndpoint and ZmqTopic
// of the runtime settings and kept until the thread ends; the main thread
// never publishes.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "milter/result_sink.h"

namespace quellsig {

class ZmqResultPublisher final : public ResultSink {
 public:
  static constexpr std::size_t kMaxEndpointBytes = 511;
  static constexpr int kSendHighWaterMark = 1000;

  // Borrows endpoint and topic for the publisher's life.
  ZmqResultPublisher(std::optional<std::string_view> endpoint, std::string_view topic) noexcept;
  ~ZmqResultPublisher() override;
  ZmqResultPublisher(const ZmqResultPublisher&) = delete;
  ZmqResultPublisher& operator=(const ZmqResultPublisher&) = delete;

  void publish(const ResultRecord& record) noexcept override;

  // True once set-up has made a connected socket.
  bool hasSocket() const { return socket_ != nullptr; }
  // True when the socket was set to use IPv6 (the endpoint holds a bracketed
  // literal); false without a socket.
  bool usesIpv6() const;

 private:
  void setUp() noexcept;
  void closeSocket() noexcept;

  std::optional<std::string_view> endpoint_;
  std::string_view topic_;
  bool set_up_attempted_ = false;
  void* context_ = nullptr;
  void* socket_ = nullptr;
};

ResultSink& threadResultPublisher() noexcept;

}  // namespace quellsig
