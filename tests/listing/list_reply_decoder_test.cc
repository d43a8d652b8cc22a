#include "listing/list_reply_decoder.h"

#include <gtest/gtest.h>

#include <set>

#include "common/text.h"
#include "listing/list_reply.h"
#include "support/test_support.h"

namespace dirserver {
namespace {

using testing::hostStrings;
using testing::makeRecord;

Bytes utf16(std::u16string_view text) {
  Bytes out;
  for (char16_t c : text) putU16(out, c);
  return out;
}

// Three hosts over two types, one with a field at full capacity.
ServerRegistry sampleRegistry() {
  ServerRegistry registry;
  ServerRecord big = makeRecord(hostStrings("/Aviantorvale/Get The Quorv Game", "Big"));
  big.fields[5].data.assign(kFieldCapacity, 0x61);
  registry.insert(ServerType::GetTheQuorv, 7, big);
  registry.insert(ServerType::TeamMelee, 0x80000000,
                  makeRecord(hostStrings("/Aviantorvale/Team Melee Game", "Bob")));
  registry.insert(ServerType::TeamMelee, 5,
                  makeRecord(hostStrings("/Aviantorvale/Team Melee Game", "Ann")));
  return registry;
}

// Where each entry of `reply` ends, worked out from the texts it decoded to.
std::set<std::size_t> entryEnds(const ListedReply& reply) {
  std::set<std::size_t> ends;
  std::size_t at = kListReplyHeaderSize;
  for (const ListedEntry& entry : reply.entries) {
    at += 1 + 8 + (entry.isDirectory ? 1 : 2);
    for (const Bytes& text : entry.texts) at += 2 + text.size();
    ends.insert(at);
  }
  return ends;
}

bool decodes(ByteView bytes, std::string* error = nullptr) {
  ListedReply reply;
  std::string why;
  const bool ok = decodeListReply(bytes, reply, why);
  if (error != nullptr) *error = why;
  return ok;
}

TEST(ListReplyDecoder, DecodesEveryEntryTheEncoderWrites) {
  const ServerRegistry registry = sampleRegistry();
  const Bytes bytes = buildListReply(registry);
  ListedReply reply;
  std::string error;
  ASSERT_TRUE(decodeListReply(bytes, reply, error)) << error;
  EXPECT_EQ(reply.header.size, bytes.size());
  EXPECT_EQ(reply.header.messageId, kMessageId);
  EXPECT_EQ(reply.header.messageType, static_cast<std::uint32_t>(MessageType::ListReply));
  EXPECT_EQ(reply.entryCount, 7u);
  ASSERT_EQ(reply.entries.size(), 7u);

  // root, type 0, Big, type 1, type 2, Ann (key 5), Bob (key 0x80000000)
  const std::vector<bool> directories{true, true, false, true, true, false, false};
  for (std::size_t i = 0; i < directories.size(); ++i) {
    EXPECT_EQ(reply.entries[i].isDirectory, directories[i]) << i;
  }
  const ListedEntry& root = reply.entries[0];
  EXPECT_EQ(root.texts,
            (std::vector<Bytes>{utf16(u"/"), utf16(u"Aviantorvale"), utf16(u"Aviantorvale")}));
  EXPECT_EQ(root.first, 0u);
  EXPECT_EQ(root.second, kDirectoryStamp);
  EXPECT_EQ(reply.entries[3].texts[1], utf16(u"Melee Game"));

  std::vector<const ServerRecord*> expected;
  for (ServerType type : kServerTypes) {
    for (auto at = registry.begin(type); at != registry.end(type); ++at) {
      expected.push_back(&at->second);
    }
  }
  std::size_t server = 0;
  for (const ListedEntry& entry : reply.entries) {
    if (entry.isDirectory) continue;
    ASSERT_LT(server, expected.size());
    const ServerRecord& record = *expected[server++];
    ASSERT_EQ(entry.texts.size(), kFieldCount);
    for (std::size_t i = 0; i < kFieldCount; ++i) {
      EXPECT_EQ(entry.texts[i], record.fields[i].data) << "server " << server << " field " << i;
    }
    EXPECT_EQ(entry.first, kServerEntryFixed);
    EXPECT_EQ(entry.second, 0u);
  }
  EXPECT_EQ(toDisplayText(reply.entries[5].texts[kNameField]), "Ann");
}

TEST(ListReplyDecoder, RejectsHeadersThatAreNotAListReply) {
  const Bytes good = buildListReply(ServerRegistry{});
  struct Case {
    const char* what;
    std::size_t at;
    std::uint32_t value;
    bool wide;
    std::string error;
  };
  const Case cases[] = {
      {"id", 4, 31, true, "offset 4: message id 31, not 30"},
      {"an acknowledgement", 8, 1, true, "offset 8: message type 1, not a list reply (3)"},
      {"reserved", 12, 1, false, "offset 12: the reserved u16 is 1, not 0"},
      {"size below the header", 0, 15, true, "offset 0: size 15 is smaller than the header"},
      {"size beyond the bytes", 0, 381, true,
       "offset 380: the reply is cut short: its size says 381 bytes, only 380 came"},
      {"size short of the bytes", 0, 379, true,
       "offset 379: 1 bytes follow the end that the size gives"},
  };
  for (const Case& c : cases) {
    Bytes bytes = good;
    if (c.wide) {
      storeU32(bytes.data() + c.at, c.value);
    } else {
      bytes[c.at] = static_cast<std::uint8_t>(c.value);
    }
    std::string error;
    EXPECT_FALSE(decodes(bytes, &error)) << c.what;
    EXPECT_EQ(error, c.error) << c.what;
  }
  std::string error;
  EXPECT_FALSE(decodes(ByteView(kAckMessage), &error));
  EXPECT_EQ(error, "offset 8: message type 1, not a list reply (3)");
  EXPECT_FALSE(decodes(ByteView(good).first(14), &error));
  EXPECT_EQ(error, "offset 14: the reply ends inside its 16-byte header");
  EXPECT_FALSE(decodes(ByteView(good).first(7), &error));
  EXPECT_EQ(error, "offset 7: the reply ends inside its 16-byte header");
}

TEST(ListReplyDecoder, EveryCutIsRejectedUnlessItEndsAnEntry) {
  const Bytes whole = buildListReply(sampleRegistry());
  ListedReply reply;
  std::string error;
  ASSERT_TRUE(decodeListReply(whole, reply, error));
  const std::set<std::size_t> ends = entryEnds(reply);
  ASSERT_EQ(*ends.rbegin(), whole.size());

  for (std::size_t cut = 0; cut < whole.size(); ++cut) {
    // As it arrives from a server that stopped sending: the size no longer matches.
    const Bytes arrived(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
    ASSERT_FALSE(decodes(arrived)) << cut;

    // The same bytes with a size that agrees: only a cut at an entry's end is a valid reply.
    if (cut < kListReplyHeaderSize) continue;
    Bytes resized = arrived;
    storeU32(resized.data(), static_cast<std::uint32_t>(cut));
    const bool atEnd = ends.count(cut) > 0 || cut == kListReplyHeaderSize;
    ASSERT_EQ(decodes(resized, &error), atEnd) << cut << ": " << error;
    if (!atEnd) {
      EXPECT_NE(error.find("is cut short in"), std::string::npos) << cut << ": " << error;
    }
  }
}

TEST(ListReplyDecoder, NamesTheOffsetOfAnUnknownTagOrACutText) {
  Bytes bytes = buildListReply(sampleRegistry());
  bytes[16 + 66] = 'X';  // the type-0 directory
  std::string error;
  EXPECT_FALSE(decodes(bytes, &error));
  EXPECT_EQ(error, "offset 82: unknown tag 0x58");

  // The root's name claims 0xFFFF code units, far more than the reply holds.
  bytes = buildListReply(ServerRegistry{});
  storeU32(bytes.data(), 16 + 5);
  bytes.resize(16 + 5);
  bytes.insert(bytes.end(), {0xFF, 0xFF, 0x41, 0x00});
  storeU32(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  EXPECT_FALSE(decodes(bytes, &error));
  EXPECT_EQ(error,
            "offset 23: entry 0 (at offset 16) is cut short in its text 1 of 65535 code units: "
            "needs 131070 bytes, 2 left before the end the size gives");
}

TEST(ListReplyDecoder, OddFieldLengthFromAHandMadeFileIsNotMisread) {
  ServerRegistry registry;
  ServerRecord record = makeRecord(hostStrings("/Aviantorvale/Melee Game", "Odd"));
  record.fields[4].data = {0x41, 0x00, 0x42};
  registry.insert(ServerType::Melee, 1, record);
  std::string error;
  EXPECT_FALSE(decodes(buildListReply(registry), &error));
  EXPECT_FALSE(error.empty());
}

TEST(ListReplyDecoder, EntryCountDoesNotLimitTheEntries) {
  Bytes bytes = buildListReply(sampleRegistry());
  bytes[14] = 0;
  bytes[15] = 0;
  ListedReply reply;
  std::string error;
  ASSERT_TRUE(decodeListReply(bytes, reply, error)) << error;
  EXPECT_EQ(reply.entryCount, 0u);
  EXPECT_EQ(reply.entries.size(), 7u);

  // More entries than 16 bits count: the header holds 65537 & 0xFFFF.
  ServerRegistry many;
  for (ServerKey key = 0; key < 65533; ++key) many.insert(ServerType::Melee, key, ServerRecord{});
  ASSERT_TRUE(decodeListReply(buildListReply(many), reply, error)) << error;
  EXPECT_EQ(reply.entryCount, 1u);
  EXPECT_EQ(reply.entries.size(), 65537u);
  EXPECT_TRUE(reply.entries.back().isDirectory);  // type 2's, after the Melee hosts
}

}  // namespace
}  // namespace dirserver
