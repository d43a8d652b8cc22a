// The decoder against the encoder's own replies: every entry exactly, and each way a reply can be
// wrong rejected with the offset where it goes wrong.
#include "client/list_reply_decoder.h"

#include <gtest/gtest.h>

#include <set>
#include <tuple>

#include "common/text.h"
#include "listing/list_reply.h"
#include "support/test_support.h"

namespace dirserver {
namespace {

TEST(ListReplyDecoder, DecodesEveryEntryAndRejectsEveryCutThatIsNotAnEntryEnd) {
  // A host of one type with a field at full capacity, and one of another.
  ServerRecord big = testing::makeRecord(testing::hostStrings(kServerTypePaths[0], "Big"));
  big.fields[5].data.assign(kFieldCapacity, 0x61);
  const ServerRecord ann = testing::makeRecord(testing::hostStrings(kServerTypePaths[2], "Ann"));
  ServerRegistry registry;
  registry.insert(ServerType::GetTheQuorv, 7, big);
  registry.insert(ServerType::TeamMelee, 0x80000000, ann);
  const Bytes whole = buildListReply(registry);
  ListedReply reply;
  std::string error;
  ASSERT_TRUE(decodeListReply(whole, reply, error)) << error;
  EXPECT_EQ(reply.entryCount, 6u);

  const auto dir = [](const char* name, const char* parent = "/Aviantorvale") {
    return ListedEntry{
        true, {toUtf16le(parent), toUtf16le(name), toUtf16le(name)}, 0, kDirectoryStamp};
  };
  const auto host = [](const ServerRecord& record) {
    ListedEntry entry{false, {}, kServerEntryFixed, 0};
    for (const ServerField& field : record.fields) entry.texts.push_back(field.data);
    return entry;
  };
  // The tree in the order sent: the root, then each type's directory followed by its hosts.
  const ListedEntry expected[] = {dir("Aviantorvale", "/"), dir("Get The Quorv Game"), host(big),
                                  dir("Melee Game"),        dir("Team Melee Game"),    host(ann)};
  ASSERT_EQ(reply.entries.size(), std::size(expected));
  std::set<std::size_t> ends{kListReplyHeaderSize};
  std::size_t end = kListReplyHeaderSize;
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    const ListedEntry& got = reply.entries[i];
    EXPECT_EQ(
        std::tie(got.isDirectory, got.texts, got.first, got.second),
        std::tie(expected[i].isDirectory, expected[i].texts, expected[i].first, expected[i].second))
        << "entry " << i;
    end += 1 + 8 + (got.isDirectory ? 1 : 2);
    for (const Bytes& text : got.texts) end += 2 + text.size();
    ends.insert(end);
  }
  ASSERT_EQ(end, whole.size());

  for (std::size_t cut = 0; cut < whole.size(); ++cut) {
    // As it arrives from a server that stopped sending: the size no longer matches.
    Bytes bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
    ASSERT_FALSE(decodeListReply(bytes, reply, error)) << "cut at " << cut;
    if (cut < kListReplyHeaderSize) continue;
    // The same bytes with a size that agrees: only a cut at an entry's end is a whole reply.
    storeU32(bytes.data(), static_cast<std::uint32_t>(cut));
    ASSERT_EQ(decodeListReply(bytes, reply, error), ends.count(cut) > 0) << cut << ": " << error;
  }
}

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
