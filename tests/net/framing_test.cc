#include "net/framing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "support/loopback.h"

namespace dirserver {
namespace {

using Step = FrameReader::Step;

// Feeds `bytes` in pieces of `piece` bytes, as far as the reader takes them; returns the first
// rejection line, if any.
const char* feed(FrameReader& reader, ByteView bytes, std::size_t piece = 1000000) {
  while (!bytes.empty()) {
    if (reader.step() == Step::Body && !reader.bodyAllocated()) reader.allocateBody();
    const auto space = reader.space();
    if (space.empty()) break;
    const std::size_t count = std::min({piece, space.size(), bytes.size()});
    std::memcpy(space.data(), bytes.data(), count);
    bytes = bytes.subspan(count);
    if (const char* rejection = reader.received(count)) return rejection;
  }
  return nullptr;
}

TEST(FrameReader, AssemblesARequestFedOneByteAtATime) {
  const Bytes body{1, 2, 3, 4, 5};
  const Bytes whole = testing::request(MessageType::Registration, body);
  FrameReader reader;
  EXPECT_EQ(feed(reader, whole, 1), nullptr);
  ASSERT_EQ(reader.step(), Step::Done);
  EXPECT_EQ(reader.header().size, 17u);
  EXPECT_EQ(reader.header().messageType, 4u);
  EXPECT_EQ(Bytes(reader.body().begin(), reader.body().end()), body);
}

TEST(FrameReader, EmptyBodyIsDoneWithTheHeader) {
  FrameReader reader;
  feed(reader, testing::request(MessageType::AckRequest));
  EXPECT_EQ(reader.step(), Step::Done);
  EXPECT_TRUE(reader.body().empty());
}

TEST(FrameReader, NeverTakesBytesBeyondTheAnnouncedSize) {
  Bytes bytes = testing::request(MessageType::AckRequest, Bytes{9, 9});
  bytes.insert(bytes.end(), {7, 7, 7});
  FrameReader reader;
  feed(reader, bytes);
  EXPECT_EQ(reader.step(), Step::Done);
  EXPECT_EQ(reader.body().size(), 2u);
  EXPECT_TRUE(reader.space().empty());
}

TEST(FrameReader, SizeBoundsAreInclusive) {
  struct Case {
    std::uint32_t size;
    bool accepted;
  };
  for (const Case c : {Case{11, false}, Case{12, true}, Case{0x100000, true}, Case{0x100001, false},
                       Case{0x80000000, false}, Case{0xFFFFFFFF, false}, Case{0, false}}) {
    FrameReader reader;
    Bytes header;
    putHeader(header, {c.size, kMessageId, 8});
    const char* rejection = feed(reader, ByteView(header).first(4));
    if (c.accepted) {
      EXPECT_EQ(rejection, nullptr) << c.size;
      EXPECT_EQ(reader.step(), Step::Id);
    } else {
      ASSERT_NE(rejection, nullptr) << c.size;
      EXPECT_STREQ(rejection, "+error: invalid msg size\n");
    }
  }
  FrameReader largest;
  Bytes header;
  putHeader(header, {0x100000, kMessageId, 8});
  feed(largest, header);
  EXPECT_EQ(largest.bodyLength(), 1048564u);
}

TEST(FrameReader, BadIdIsRejectedButABadSizeIsReportedFirst) {
  Bytes badId;
  putHeader(badId, {12, 31, 8});
  FrameReader reader;
  EXPECT_STREQ(feed(reader, badId), "+error: invalid msg id\n");
  Bytes both;
  putHeader(both, {5, 31, 8});
  FrameReader second;
  EXPECT_STREQ(feed(second, both), "+error: invalid msg size\n");
}

TEST(FrameReader, FailureLineNamesTheStepInProgress) {
  const Bytes bytes = testing::request(MessageType::Registration, Bytes{1, 2, 3});
  const std::pair<std::size_t, const char*> cases[] = {
      {0, "+error: recv() error - msg size\n"},
      {3, "+error: recv() error - msg size\n"},
      {4, "+error: recv() error - msg id\n"},
      {11, "+error: recv() error - msg type\n"},
      {12, "+error: recv() error - invalid data length\n"},
      {14, "+error: recv() error - invalid data length\n"},
  };
  for (const auto& [prefix, line] : cases) {
    FrameReader reader;
    feed(reader, ByteView(bytes).first(prefix));
    EXPECT_STREQ(reader.failureLine(), line) << prefix;
  }
}

TEST(FrameReader, BodySpaceWaitsForAllocation) {
  FrameReader reader;
  Bytes header;
  putHeader(header, {112, kMessageId, 4});
  std::memcpy(reader.space().data(), header.data(), header.size());
  reader.received(header.size());
  ASSERT_EQ(reader.step(), Step::Body);
  EXPECT_TRUE(reader.space().empty());
  reader.allocateBody();
  EXPECT_EQ(reader.space().size(), 100u);
}

}  // namespace
}  // namespace dirserver
