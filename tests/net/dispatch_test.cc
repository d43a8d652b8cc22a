#include "net/dispatch.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_support.h"

namespace dirserver {
namespace {

using testing::hex;
using testing::hostStrings;
using testing::requestBody;
using testing::TestContext;

Dispatched dispatch(TestContext& t, std::uint32_t type, ByteView body = {}) {
  ListReplyCache listing;
  return handleConnection(t.context, listing,
                          {static_cast<std::uint32_t>(kHeaderSize + body.size()), kMessageId, type},
                          body);
}

TEST(Dispatch, AcknowledgementIsFourteenFixedBytes) {
  TestContext t;
  const Dispatched ack = dispatch(t, 8, Bytes{1, 2, 3});
  ASSERT_NE(ack.answer, nullptr);
  EXPECT_EQ(hex(*ack.answer), "0E 00 00 00 1E 00 00 00 01 00 00 00 00 00");
  EXPECT_FALSE(ack.save);
}

TEST(Dispatch, RegistrationAndShutdownAreAcknowledgedAndSavedEvenWhenRejected) {
  TestContext t;
  for (std::uint32_t type : {4u, 6u}) {
    const Dispatched rejected = dispatch(t, type, Bytes{0xFF});
    EXPECT_EQ(rejected.answer, sendAck());
    EXPECT_TRUE(rejected.save);
  }
  const Dispatched accepted =
      dispatch(t, 4, requestBody(hostStrings("/Aviantorvale/Melee Game", "Bob")));
  EXPECT_EQ(accepted.answer, sendAck());
  EXPECT_TRUE(accepted.save);
  EXPECT_EQ(t.context.registry.totalCount(), 1u);
}

TEST(Dispatch, ListRequestIgnoresItsBody) {
  TestContext t;
  const Dispatched plain = dispatch(t, 2);
  const Dispatched withBody = dispatch(t, 2, Bytes(100, 0x41));
  ASSERT_NE(plain.answer, nullptr);
  EXPECT_EQ(plain.answer->size(), 380u);
  EXPECT_EQ(*plain.answer, *withBody.answer);
  EXPECT_FALSE(plain.save);
}

TEST(Dispatch, OtherTypesAreWarnedAboutInLowerCaseHexAndNotAnswered) {
  TestContext t;
  for (std::uint32_t type : {0u, 1u, 3u, 5u, 7u, 9u, 0x123u, 0xABCDEF01u}) {
    const Dispatched result = dispatch(t, type, Bytes{1});
    EXPECT_EQ(result.answer, nullptr);
    EXPECT_FALSE(result.save);
  }
  EXPECT_EQ(t.console.err(),
            "+warning: unhandled msg type: 0x00\n"
            "+warning: unhandled msg type: 0x01\n"
            "+warning: unhandled msg type: 0x03\n"
            "+warning: unhandled msg type: 0x05\n"
            "+warning: unhandled msg type: 0x07\n"
            "+warning: unhandled msg type: 0x09\n"
            "+warning: unhandled msg type: 0x123\n"
            "+warning: unhandled msg type: 0xabcdef01\n");
  EXPECT_EQ(t.console.out(), "");
  EXPECT_FALSE(std::filesystem::exists(t.context.listFile));
}

}  // namespace
}  // namespace dirserver
