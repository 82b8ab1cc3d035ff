#include "publisher/result_publisher.h"

#include <gtest/gtest.h>
#include <zmq.h>

#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace quellsig {
namespace {

// A SUB socket bound by the test on loopback; the publisher connects to it.
class Subscriber {
 public:
  explicit Subscriber(std::string_view prefix = "", int receive_hwm = 1000) {
    context_ = zmq_ctx_new();
    socket_ = zmq_socket(context_, ZMQ_SUB);
    const int linger = 0;
    zmq_setsockopt(socket_, ZMQ_LINGER, &linger, sizeof linger);
    zmq_setsockopt(socket_, ZMQ_RCVHWM, &receive_hwm, sizeof receive_hwm);
    zmq_setsockopt(socket_, ZMQ_SUBSCRIBE, prefix.data(), prefix.size());
    bound_ = zmq_bind(socket_, "tcp://127.0.0.1:*") == 0;
    char endpoint[256] = {};
    std::size_t size = sizeof endpoint;
    zmq_getsockopt(socket_, ZMQ_LAST_ENDPOINT, endpoint, &size);
    endpoint_ = endpoint;
  }
  ~Subscriber() { close(); }

  void close() {
    if (socket_ != nullptr) zmq_close(socket_);
    if (context_ != nullptr) zmq_ctx_destroy(context_);
    socket_ = context_ = nullptr;
  }

  bool bound() const { return bound_; }
  const std::string& endpoint() const { return endpoint_; }
  std::string port() const { return endpoint_.substr(endpoint_.rfind(':') + 1); }

  // The next message, which must be a single frame; nullopt after timeout_ms.
  std::optional<std::string> receive(int timeout_ms) {
    zmq_pollitem_t item{socket_, 0, ZMQ_POLLIN, 0};
    if (zmq_poll(&item, 1, timeout_ms) != 1) return std::nullopt;
    zmq_msg_t message;
    zmq_msg_init(&message);
    if (zmq_msg_recv(&message, socket_, 0) < 0) return std::nullopt;
    std::string text(static_cast<const char*>(zmq_msg_data(&message)), zmq_msg_size(&message));
    EXPECT_FALSE(zmq_msg_more(&message)) << "record split over several frames";
    zmq_msg_close(&message);
    return text;
  }

 private:
  void* context_ = nullptr;
  void* socket_ = nullptr;
  bool bound_ = false;
  std::string endpoint_;
};

// A PUB socket drops records until the subscription has travelled back to
// it, so publish a probe until one arrives; later records then arrive in
// order. The probe frame is checked too.
void awaitLink(ZmqResultPublisher& publisher, Subscriber& sub, std::string_view topic) {
  const ResultRecord probe{ResultAction::Sign, DkimResult::Pass, "probe.example", "p"};
  const std::string expected = std::string(topic) +
                               R"( {"action":"sign","result":"pass","domain":"probe.example",)"
                               R"("selector":"p"})";
  for (int attempt = 0; attempt < 200; ++attempt) {
    publisher.publish(probe);
    if (auto frame = sub.receive(50)) {
      ASSERT_EQ(*frame, expected);
      while (sub.receive(100)) {
      }
      return;
    }
  }
  FAIL() << "no record reached the subscriber at " << sub.endpoint();
}

TEST(ResultPublisher, SubscriberReceivesExactFrames) {
  Subscriber sub("dkim");
  ASSERT_TRUE(sub.bound());
  ZmqResultPublisher publisher(sub.endpoint(), "dkim");
  awaitLink(publisher, sub, "dkim");
  ASSERT_TRUE(publisher.hasSocket());

  struct Case {
    const char* name;
    ResultRecord record;
    std::string_view frame;
  };
  const Case cases[] = {
      {"verify pass",
       {ResultAction::Verify, DkimResult::Pass, "a.b", "s1"},
       R"(dkim {"action":"verify","result":"pass","domain":"a.b","selector":"s1"})"},
      {"whole-message outcome",
       {ResultAction::Verify, DkimResult::None, "", ""},
       R"(dkim {"action":"verify","result":"none","domain":"","selector":""})"},
      {"quote, backslash and control bytes",
       {ResultAction::Verify, DkimResult::Fail, "a\"b\\c", "s\x1b\n"},
       R"(dkim {"action":"verify","result":"fail","domain":"a\"b\\c","selector":"s\u001b\n"})"},
      {"valid UTF-8 passes",
       {ResultAction::Sign, DkimResult::Fail, "caf\xc3\xa9.example", "\xe2\x82\xac"},
       "dkim {\"action\":\"sign\",\"result\":\"fail\",\"domain\":\"caf\xc3\xa9.example\","
       "\"selector\":\"\xe2\x82\xac\"}"},
      {"invalid UTF-8 replaced",
       {ResultAction::Verify, DkimResult::PermError, "x\xc3", "\xff\xed\xa0\x80"},
       R"(dkim {"action":"verify","result":"permerror","domain":"x\ufffd",)"
       R"("selector":"\ufffd\ufffd\ufffd\ufffd"})"},
  };
  // Published back to back, received in order afterwards.
  for (const Case& c : cases) publisher.publish(c.record);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto frame = sub.receive(5000);
    ASSERT_TRUE(frame);
    EXPECT_EQ(*frame, c.frame);
  }
  EXPECT_FALSE(sub.receive(100));
}

TEST(ResultPublisher, SubscribersFilterByTopic) {
  Subscriber sub("quell");
  ASSERT_TRUE(sub.bound());
  ZmqResultPublisher other(sub.endpoint(), "other");
  ZmqResultPublisher mine(sub.endpoint(), "quellsig");
  awaitLink(mine, sub, "quellsig");
  other.publish({ResultAction::Verify, DkimResult::Pass, "a.b", "s1"});
  mine.publish({ResultAction::Verify, DkimResult::Fail, "a.b", "s1"});
  auto frame = sub.receive(5000);
  ASSERT_TRUE(frame);
  EXPECT_EQ(*frame, R"(quellsig {"action":"verify","result":"fail","domain":"a.b","selector":"s1"})");
  EXPECT_FALSE(sub.receive(200));
}

// The v4-mapped literal keeps the traffic on 127.0.0.1.
TEST(ResultPublisher, BracketedEndpointGetsIpv6) {
  Subscriber sub("dkim");
  ASSERT_TRUE(sub.bound());
  ZmqResultPublisher plain(sub.endpoint(), "dkim");
  plain.publish({ResultAction::Verify, DkimResult::Pass, "a.b", "s1"});
  ASSERT_TRUE(plain.hasSocket());
  EXPECT_FALSE(plain.usesIpv6());

  const std::string endpoint = "tcp://[::ffff:127.0.0.1]:" + sub.port();
  ZmqResultPublisher bracketed(endpoint, "dkim");
  bracketed.publish({ResultAction::Verify, DkimResult::Pass, "a.b", "s1"});
  ASSERT_TRUE(bracketed.hasSocket());
  EXPECT_TRUE(bracketed.usesIpv6());
  awaitLink(bracketed, sub, "dkim");
}

TEST(ResultPublisher, NoSocketWithoutUsableEndpoint) {
  struct Case {
    const char* name;
    std::optional<std::string> endpoint;
    bool socket;
  };
  const Case cases[] = {
      {"no endpoint", std::nullopt, false},
      {"malformed", "tcp://", false},
      {"unknown transport", "carrier-pigeon://127.0.0.1:1", false},
      {"511 bytes", "inproc://" + std::string(511 - 9, 'x'), true},
      {"512 bytes", "inproc://" + std::string(512 - 9, 'x'), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<std::string_view> endpoint;
    if (c.endpoint) endpoint = *c.endpoint;
    ZmqResultPublisher publisher(endpoint, "dkim");
    EXPECT_FALSE(publisher.hasSocket()) << "set up before the first record";
    publisher.publish({ResultAction::Verify, DkimResult::Pass, "a.b", "s1"});
    EXPECT_EQ(publisher.hasSocket(), c.socket);
    publisher.publish({ResultAction::Verify, DkimResult::Pass, "a.b", "s1"});
    EXPECT_EQ(publisher.hasSocket(), c.socket);
  }
}

// Without stored runtime settings there is no endpoint; each thread has its own.
TEST(ResultPublisher, ThreadPublisherIsPerThreadAndNeedsAnEndpoint) {
  ResultSink& mine = threadResultPublisher();
  EXPECT_EQ(&mine, &threadResultPublisher());
  mine.publish({ResultAction::Verify, DkimResult::Pass, "a.b", "s1"});
  EXPECT_FALSE(dynamic_cast<ZmqResultPublisher&>(mine).hasSocket());
  const ResultSink* other = nullptr;
  std::thread([&other] { other = &threadResultPublisher(); }).join();
  EXPECT_NE(other, &mine);
}

// Records beyond what the peer takes are dropped and closing discards the
// queue: none of this may wait, or the test hangs. 5000 records of 2 KiB
// exceed both high-water marks and the socket buffers.
void publishFlood(ZmqResultPublisher& publisher) {
  const std::string big(2048, 'd');
  for (int i = 0; i < 5000; ++i) {
    publisher.publish({ResultAction::Verify, DkimResult::Pass, big, "s1"});
  }
}

TEST(ResultPublisher, AbsentSubscriberNeverBlocks) {
  std::string vacant;
  {
    Subscriber gone;
    ASSERT_TRUE(gone.bound());
    vacant = gone.endpoint();
  }
  ZmqResultPublisher publisher(vacant, "dkim");
  publishFlood(publisher);
  EXPECT_TRUE(publisher.hasSocket());
}

TEST(ResultPublisher, StalledSubscriberNeverBlocks) {
  Subscriber stalled("", 1);
  ASSERT_TRUE(stalled.bound());
  {
    ZmqResultPublisher publisher(stalled.endpoint(), "dkim");
    awaitLink(publisher, stalled, "dkim");
    publishFlood(publisher);
  }
  // The flood reached the subscriber, so the sends were real.
  auto frame = stalled.receive(5000);
  ASSERT_TRUE(frame);
  EXPECT_TRUE(frame->starts_with(R"(dkim {"action":"verify","result":"pass","domain":"ddd)"));
}

}  // namespace
}  // namespace quellsig
