// The decoder against replies that are wrong in each way a reply can be: each rejected with the
// offset where it goes wrong. (The fuzz target checks that every reply that decodes encodes back.)
#include "client/list_reply_decoder.h"

#include <gtest/gtest.h>

#include <tuple>

#include "common/text.h"
#include "listing/list_reply.h"
#include "support/test_support.h"

namespace dirserver {
namespace {

TEST(ListReplyDecoder, RejectsWhatIsNotAListReplyNamingTheOffset) {
  const Bytes good = buildListReply(ServerRegistry{});
  const auto patched = [&](std::size_t at, std::uint32_t value) {
    Bytes bytes = good;
    storeU32(bytes.data() + at, value);
    return bytes;
  };
  const std::pair<Bytes, std::string> cases[] = {
      {patched(4, 31), "offset 4: message id 31, not 30"},
      {Bytes(kAckMessage.begin(), kAckMessage.end()),
       "offset 8: message type 1, not a list reply (3)"},
      {patched(12, 1), "offset 12: the reserved u16 is 1, not 0"},
      {patched(0, 15), "offset 0: size 15 is smaller than the header"},
      {patched(0, 381),
       "offset 380: the reply is cut short: its size says 381 bytes, only 380 came"},
      {patched(0, 379), "offset 379: 1 bytes follow the end that the size gives"},
      {Bytes(good.begin(), good.begin() + 14),
       "offset 14: the reply ends inside its 16-byte header"},
      {Bytes(good.begin(), good.begin() + 7), "offset 7: the reply ends inside its 16-byte header"},
      // The first type's directory, after the root's 66 bytes.
      {patched(kListReplyHeaderSize + 66, 'X'), "offset 82: unknown tag 0x58"}};
  for (const auto& [bytes, expected] : cases) {
    ListedReply reply;
    std::string error;
    EXPECT_FALSE(decodeListReply(bytes, reply, error)) << expected;
    EXPECT_EQ(error, expected);
  }
}

}  // namespace
}  // namespace dirserver
