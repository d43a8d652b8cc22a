#include "net/framing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>

#include "support/loopback.h"

namespace dirserver {
namespace {

using Step = FrameReader::Step;

// Feeds `bytes` in pieces of `piece` bytes, as far as the reader takes them; returns the first
// rejection, if any.
std::optional<ConsoleError> feed(FrameReader& reader, ByteView bytes, std::size_t piece = 1 << 20) {
  while (!bytes.empty()) {
    if (reader.step() == Step::Body) reader.allocateBody();
    const auto space = reader.space();
    if (space.empty()) break;
    const std::size_t count = std::min({piece, space.size(), bytes.size()});
    std::memcpy(space.data(), bytes.data(), count);
    bytes = bytes.subspan(count);
    if (const auto rejection = reader.received(count)) return rejection;
  }
  return std::nullopt;
}

TEST(FrameReader, AssemblesPiecesButNeverTakesBytesBeyondTheSize) {
  Bytes bytes = testing::request(MessageType::Registration, Bytes{1, 2, 3, 4, 5});
  bytes.insert(bytes.end(), {7, 7, 7});
  FrameReader reader;
  EXPECT_EQ(feed(reader, bytes, 1), std::nullopt);
  ASSERT_EQ(reader.step(), Step::Done);
  EXPECT_EQ(reader.header().messageType, 4u);
  EXPECT_EQ(Bytes(reader.body().begin(), reader.body().end()), (Bytes{1, 2, 3, 4, 5}));
  EXPECT_TRUE(reader.space().empty());

  FrameReader empty;  // an empty body is complete with its header
  feed(empty, testing::request(MessageType::AckRequest));
  EXPECT_EQ(empty.step(), Step::Done);

  // Bytes read along with the header: the body takes what it lacks, before its allocation (then
  // kept as its start) or after, and nothing beyond the size.
  const Bytes body{1, 2, 3, 4, 5, 7, 7, 7};
  for (const bool allocatedFirst : {false, true}) {
    FrameReader early;
    feed(early, ByteView(bytes).first(kHeaderSize));
    ASSERT_EQ(early.step(), Step::Body);
    if (allocatedFirst) early.allocateBody();
    EXPECT_EQ(early.takeBody(ByteView(body).first(2)), 2u);
    EXPECT_EQ(early.step(), Step::Body);
    if (!allocatedFirst) {
      EXPECT_TRUE(early.space().empty());
      early.allocateBody();
    }
    EXPECT_EQ(early.space().size(), 3u) << allocatedFirst;
    EXPECT_EQ(early.takeBody(ByteView(body).subspan(2)), 3u);
    ASSERT_EQ(early.step(), Step::Done);
    EXPECT_EQ(Bytes(early.body().begin(), early.body().end()), (Bytes{1, 2, 3, 4, 5}));
  }
}

TEST(FrameReader, ChecksTheSizeBeforeTheId) {
  const std::pair<MessageHeader, ConsoleError> rejected[] = {
      {{11, 30, 8}, ConsoleError::InvalidSize},
      {{0x100001, 30, 8}, ConsoleError::InvalidSize},
      {{0x80000000, 30, 8}, ConsoleError::InvalidSize},
      {{0xFFFFFFFF, 31, 8}, ConsoleError::InvalidSize},
      {{12, 31, 8}, ConsoleError::InvalidId},
  };
  for (const auto& [header, fault] : rejected) {
    Bytes bytes;
    putHeader(bytes, header);
    FrameReader reader;
    EXPECT_EQ(feed(reader, bytes), fault) << header.size;
    EXPECT_EQ(reader.step(), Step::Rejected);
  }
  for (std::uint32_t size : {12u, 0x100000u}) {
    Bytes bytes;
    putHeader(bytes, {size, 30, 8});
    FrameReader reader;
    EXPECT_EQ(feed(reader, ByteView(bytes).first(8)), std::nullopt);
  }
}

}  // namespace
}  // namespace dirserver
