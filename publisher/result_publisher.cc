#include "publisher/result_publisher.h"

#include <zmq.h>

#include <cstddef>
#include <cstring>

#include "config/runtime_settings.h"
#include "publisher/result_frame.h"

namespace quellsig {

ZmqResultPublisher::ZmqResultPublisher(std::optional<std::string_view> endpoint,
                                       std::string_view topic) noexcept
    : endpoint_(endpoint), topic_(topic) {}

ZmqResultPublisher::~ZmqResultPublisher() { closeSocket(); }

void ZmqResultPublisher::closeSocket() noexcept {
  // Linger 0 makes both calls return at once even with records queued.
  if (socket_ != nullptr) zmq_close(socket_);
  if (context_ != nullptr) zmq_ctx_destroy(context_);
  socket_ = nullptr;
  context_ = nullptr;
}

void ZmqResultPublisher::setUp() noexcept {
  set_up_attempted_ = true;
  if (!endpoint_ || endpoint_->size() > kMaxEndpointBytes) return;
  char endpoint[kMaxEndpointBytes + 1];
  endpoint_->copy(endpoint, endpoint_->size());
  endpoint[endpoint_->size()] = '\0';
  context_ = zmq_ctx_new();
  if (context_ == nullptr) return;
  socket_ = zmq_socket(context_, ZMQ_PUB);
  if (socket_ == nullptr) {
    closeSocket();
    return;
  }
  const int linger = 0;
  const int hwm = kSendHighWaterMark;
  const int ipv6 = 1;
  bool ok = zmq_setsockopt(socket_, ZMQ_LINGER, &linger, sizeof linger) == 0 &&
            zmq_setsockopt(socket_, ZMQ_SNDHWM, &hwm, sizeof hwm) == 0;
  // Without the option a bracketed IPv6 literal does not resolve.
  if (ok && endpoint_->find('[') != std::string_view::npos) {
    ok = zmq_setsockopt(socket_, ZMQ_IPV6, &ipv6, sizeof ipv6) == 0;
  }
  if (!ok || zmq_connect(socket_, endpoint) != 0) closeSocket();
}

void ZmqResultPublisher::publish(const ResultRecord& record) noexcept {
  if (!set_up_attempted_) setUp();
  if (socket_ == nullptr) return;
  auto frame = resultFrame(topic_, record);
  if (!frame) return;
  zmq_msg_t message;
  if (zmq_msg_init_size(&message, frame->size()) != 0) return;
  std::memcpy(zmq_msg_data(&message), frame->data(), frame->size());
  // A sent message belongs to the library; one that was not sent is ours.
  if (zmq_msg_send(&message, socket_, ZMQ_DONTWAIT) < 0) zmq_msg_close(&message);
}

bool ZmqResultPublisher::usesIpv6() const {
  int ipv6 = 0;
  std::size_t size = sizeof ipv6;
  return socket_ != nullptr && zmq_getsockopt(socket_, ZMQ_IPV6, &ipv6, &size) == 0 && ipv6 == 1;
}

ResultSink& threadResultPublisher() noexcept {
  // The settings never change once threads exist, so borrowing them is safe.
  const RuntimeSettings& settings = runtimeSettings();
  std::optional<std::string_view> endpoint;
  if (settings.zmq_endpoint) endpoint = *settings.zmq_endpoint;
  thread_local ZmqResultPublisher publisher(endpoint, settings.zmq_topic);
  return publisher;
}

}  // namespace quellsig
