// The private Postfix fixture with the null filter, run with the Postfix
// guide's milter settings (both filters at the null filter's address): mail
// passes the filter and is delivered, and a filter that is down defers mail
// in the queue until it is back.
#include "tests/support/postfix_instance.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/support/guide_blocks.h"
#include "tests/support/milter_client.h"
#include "tests/support/nsd_server.h"
#include "tests/support/null_milter.h"
#include "tests/support/text_file.h"

namespace quellsig::testing {
namespace {

constexpr std::uint32_t kDeliveryMs = 30000;

const char kMessage[] =
    "From: Sender <sender@example.test>\r\n"
    "To: rcpt@example.test\r\n"
    "Subject: first part\r\n"
    "\tsecond part\r\n"
    "\r\n"
    ".a line that needs dot-stuffing\r\n"
    "last line\r\n";

// The guide's main.cf block with both of its filter addresses moved to
// `milter` ("inet:127.0.0.1:PORT").
std::vector<std::pair<std::string, std::string>> guideMilterSettings(const std::string& milter) {
  const auto block =
      testutil::guideBlock(readTextFile(QUELLSIG_SOURCE_DIR "/docs/postfix.md"), "postfix-main.cf");
  EXPECT_TRUE(block.has_value()) << "docs/postfix.md has no postfix-main.cf block";
  return testutil::mainCfSettings(testutil::substituted(
      block.value_or(""), {{"inet:127.0.0.1:8891", milter}, {"inet:127.0.0.1:8892", milter}}));
}

std::unique_ptr<PostfixInstance> startPostfix(const std::string& milter) {
  PostfixOptions options;
  options.milter_settings = guideMilterSettings(milter);
  std::string error;
  auto postfix = PostfixInstance::start(options, &error);
  EXPECT_NE(postfix, nullptr) << error;
  return postfix;
}

TEST(PostfixInstanceTest, DeliversMailThatPassedTheFilter) {
  NullMilterOptions script;
  script.changes = {
      {'i', 0, "X-Inserted", " by the null filter"},
      {'i', 2, "X-Second", " second\n\tfolded"},
      {'m', 1, "to", ""},
      {'h', 0, "X-Added", " last"},
  };
  script.final_reply = 'a';
  auto milter = NullMilter::start(MilterTarget::inet("127.0.0.1", 0), script);
  ASSERT_TRUE(milter) << errorName(milter.error());
  auto postfix = startPostfix((*milter)->target().describe());
  ASSERT_NE(postfix, nullptr);

  const SmtpOutcome sent = postfix->submit(postfix->filteredPort(), "sender@example.test",
                                           {"rcpt@example.test"}, kMessage);
  ASSERT_TRUE(sent.accepted) << sent.transcript;
  const auto delivered = postfix->waitForDelivery(1, kDeliveryMs);
  ASSERT_EQ(delivered.size(), 1u) << postfix->log();
  const std::string& m = delivered[0];
  EXPECT_NE(m.find("Subject: first part\n\tsecond part\n"), std::string::npos) << m;
  EXPECT_NE(m.find("\n.a line that needs dot-stuffing\nlast line\n"), std::string::npos) << m;
  // The inserted field sits above Postfix's own Received field.
  const std::size_t inserted = m.find("X-Inserted: by the null filter\n");
  ASSERT_NE(inserted, std::string::npos) << m;
  EXPECT_LT(inserted, m.find("Received:")) << m;
  EXPECT_GE((*milter)->messages(), 1u);
  // What Postfix told the filter: the fold as a bare LF.
  bool saw_subject = false;
  for (const auto& [name, value] : (*milter)->lastHeaders()) {
    if (name == "Subject") {
      saw_subject = true;
      EXPECT_EQ(value, " first part\n\tsecond part");
    }
  }
  EXPECT_TRUE(saw_subject);

  // Postfix applied the changes as applyHeaderChanges models them: the
  // delivered header block (below the fields delivery adds on top) is the
  // model's, applied to the fields Postfix held: its own Received field,
  // which the filter is not shown but insert positions count, then the
  // fields the filter saw.
  const std::string header = m.substr(0, m.find("\n\n") + 1);
  auto held = MilterMessage::parse(header, "", {});
  ASSERT_TRUE(held);
  const auto received =
      std::ranges::find_if(held->headers, [](const auto& f) { return f.first == "Received"; });
  ASSERT_NE(received, held->headers.end());
  MilterMessage seen;
  seen.headers = (*milter)->lastHeaders();
  seen.headers.insert(seen.headers.begin(), *received);
  std::string model = applyHeaderChanges(seen, script.changes, kProtocolHeaderLeadingSpace);
  std::erase(model, '\r');
  EXPECT_TRUE(header.ends_with(model.substr(0, model.size() - 1))) << header << "\nmodel:\n"
                                                                   << model;
}

TEST(PostfixInstanceTest, FilterDownDefersUntilItIsBackAndTheQueueIsFlushed) {
  const std::uint16_t port = pickFreePort("127.0.0.1");
  ASSERT_NE(port, 0);
  const MilterTarget target = MilterTarget::inet("127.0.0.1", port);
  auto postfix = startPostfix(target.describe());
  ASSERT_NE(postfix, nullptr);

  // Straight to the filtered port: refused for now, the sender keeps it.
  const SmtpOutcome direct = postfix->submit(postfix->filteredPort(), "sender@example.test",
                                             {"rcpt@example.test"}, kMessage);
  EXPECT_FALSE(direct.accepted) << direct.transcript;
  EXPECT_EQ(direct.code, 451) << direct.transcript;

  // Through the queue: accepted, then deferred at the filtered port.
  const SmtpOutcome queued =
      postfix->submit(postfix->relayPort(), "sender@example.test", {"rcpt@example.test"}, kMessage);
  ASSERT_TRUE(queued.accepted) << queued.transcript;
  ASSERT_TRUE(postfix->waitForLog("status=deferred", kDeliveryMs)) << postfix->log();

  // Submitted on the host: accepted by sendmail, held back by the filter.
  std::string error;
  ASSERT_TRUE(postfix->sendmail("local@example.test", {"rcpt@example.test"}, kMessage, &error))
      << error;
  ASSERT_TRUE(postfix->waitForLog("try again later; from=<local@example.test>", kDeliveryMs))
      << postfix->log();
  EXPECT_TRUE(postfix->delivered().empty());

  auto milter = NullMilter::start(target);
  ASSERT_TRUE(milter) << errorName(milter.error());
  ASSERT_TRUE(postfix->flushQueue(&error)) << error;
  const auto delivered = postfix->waitForDelivery(2, kDeliveryMs);
  ASSERT_EQ(delivered.size(), 2u) << postfix->log();
  for (const std::string& m : delivered) {
    EXPECT_NE(m.find("Subject: first part\n\tsecond part\n"), std::string::npos) << m;
  }
  EXPECT_GE((*milter)->messages(), 1u);
}

}  // namespace
}  // namespace quellsig::testing
