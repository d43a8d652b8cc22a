#include "server/dispatch.h"

#include <gtest/gtest.h>

#include "common/text.h"
#include "support/test_support.h"

namespace dirserver {
namespace {

Dispatched dispatch(testing::TestContext& t, std::uint32_t type, ByteView body = {}) {
  return dispatchRequest(t.context,
                         {static_cast<std::uint32_t>(kHeaderSize + body.size()), kMessageId, type},
                         body);
}

TEST(Dispatch, AnswersAndCountsByType) {
  testing::TestContext t;
  const Dispatched ack = dispatch(t, 8, Bytes{1, 2, 3});
  EXPECT_EQ(ack.reply, Reply::Ack);
  EXPECT_EQ(ack.kind, RequestKind::Ack);
  // Registration and shutdown are acknowledged whatever became of their body, and counted as
  // rejected with the line they printed.
  for (std::uint32_t type : {4u, 6u}) {
    const Dispatched rejected = dispatch(t, type, Bytes{0xFF});
    EXPECT_EQ(rejected.reply, Reply::Ack);
    EXPECT_EQ(rejected.outcome, RequestOutcome::Rejected);
    EXPECT_EQ(rejected.error, ConsoleError::InvalidData);
  }
  // The listing ignores the request's body.
  EXPECT_EQ(dispatch(t, 2, Bytes(100, 0x41)).reply, Reply::Listing);
  const Dispatched added =
      dispatch(t, 4, testing::requestBody(testing::hostStrings("/Aviantorvale/Melee Game", "B")));
  EXPECT_EQ(added.outcome, RequestOutcome::Served);
  EXPECT_EQ(added.kind, RequestKind::Registration);
  t.context.maxHostBytes = t.context.registry.fieldBytes();
  const Dispatched refused =
      dispatch(t, 4, testing::requestBody(testing::hostStrings("/Aviantorvale/Melee Game", "C")));
  EXPECT_EQ(refused.reply, Reply::Ack);
  EXPECT_EQ(refused.outcome, RequestOutcome::Refused);
  EXPECT_EQ(refused.error, ConsoleError::StringsFull);
}

TEST(Dispatch, OtherTypesAreWarnedAboutInLowerCaseHexAndNotAnswered) {
  testing::TestContext t;
  for (std::uint32_t type : {0u, 5u, 0x123u, 0xABCDEF01u}) {
    const Dispatched result = dispatch(t, type, Bytes{1});
    EXPECT_EQ(result.reply, Reply::None);
    EXPECT_EQ(result.error, ConsoleError::UnhandledType);
  }
  EXPECT_EQ(t.console.err(),
            "+warning: unhandled msg type: 0x00\n+warning: unhandled msg type: 0x05\n"
            "+warning: unhandled msg type: 0x123\n+warning: unhandled msg type: 0xabcdef01\n");
  EXPECT_EQ(t.console.out(), "");
}

}  // namespace
}  // namespace dirserver
