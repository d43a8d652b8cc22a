#include "listing/list_reply.h"

#include <gtest/gtest.h>

#include "common/text.h"
#include "client/list_reply_decoder.h"
#include "support/test_support.h"

namespace dirserver {
namespace {

using testing::makeRecord;

Bytes directoryEntry(std::u16string_view parent, std::u16string_view name) {
  Bytes out{0x44};
  for (std::u16string_view text : {parent, name, name}) {
    putU16(out, static_cast<std::uint16_t>(text.size()));
    for (char16_t c : text) putU16(out, c);
  }
  putU32(out, 0);
  putU32(out, 0x43D1AA2D);
  putU8(out, 1);
  return out;
}

Bytes serverEntry(const ServerRecord& record) {
  Bytes out{0x53};
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    if (i == 3) {
      putU32(out, 3600);
      putU32(out, 0);
    }
    const std::size_t count = record.fields[i].length() / 2;
    putU16(out, static_cast<std::uint16_t>(count));
    putBytes(out, ByteView(record.fields[i].data).first(2 * count));
  }
  putU16(out, 0);
  return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) putBytes(out, part);
  return out;
}

const Bytes kRoot = directoryEntry(u"/", u"Aviantorvale");
const Bytes kQuorvDir = directoryEntry(u"/Aviantorvale", u"Get The Quorv Game");
const Bytes kMeleeDir = directoryEntry(u"/Aviantorvale", u"Melee Game");
const Bytes kTeamDir = directoryEntry(u"/Aviantorvale", u"Team Melee Game");

TEST(ListReply, EmptyRegistryIsHeaderAndFourDirectories) {
  const Bytes reply = buildListReply(ServerRegistry{});
  ASSERT_EQ(reply.size(), 380u);
  EXPECT_EQ(hexText(ByteView(reply).first(16)), "7C 01 00 00 1E 00 00 00 03 00 00 00 00 00 04 00");
  EXPECT_EQ(Bytes(reply.begin() + 16, reply.end()),
            concat({kRoot, kQuorvDir, kMeleeDir, kTeamDir}));
}

TEST(ListReply, HostsFollowTheirTypeInUnsignedKeyOrderWithAllTheirBytes) {
  ServerRegistry registry;
  const ServerRecord bob =
      makeRecord({"/Aviantorvale/Melee Game", "1.2.3.4", "Bob", "a", "", "b", "cc"});
  const ServerRecord ann =
      makeRecord({"/Aviantorvale/Melee Game", "5.6.7.8", "Ann", "x", "y", "z", "w"});
  ServerRecord odd = makeRecord({"/Aviantorvale/Team Melee Game", "t", "Tom", "1", "2", "3", "4"});
  odd.fields[3].data = {};                  // length 0: just 00 00
  odd.fields[4].data = {0x41, 0x00, 0x42};  // odd: count 1 and its two bytes, not the third
  odd.fields[5].data.assign(kFieldCapacity, 0x61);
  const ServerRecord tia =
      makeRecord({"/Aviantorvale/Team Melee Game", "9.9.9.9", "Tia", "q", "r", "s", "t"});
  registry.insert(ServerType::Melee, 0x80000000, bob);
  registry.insert(ServerType::Melee, 5, ann);
  registry.insert(ServerType::TeamMelee, 1, odd);
  registry.insert(ServerType::TeamMelee, 2, tia);
  const Bytes reply = buildListReply(registry);
  EXPECT_EQ(Bytes(reply.begin() + 16, reply.end()),
            concat({kRoot, kQuorvDir, kMeleeDir, serverEntry(ann), serverEntry(bob), kTeamDir,
                    serverEntry(odd), serverEntry(tia)}));
  EXPECT_EQ(loadU32(reply.data()), reply.size());
  EXPECT_EQ(loadU16(reply.data() + 14), 8u);
  const std::size_t oddFields = reply.size() - serverEntry(tia).size() - serverEntry(odd).size() +
                                1 + 2 + 58 + 2 + 2 + 2 + 6 + 8;
  EXPECT_EQ(hexText(ByteView(reply).subspan(oddFields, 9)), "00 00 01 00 41 00 00 08 61");

  // Every client reads the host after the odd field intact.
  ListedReply listed;
  std::string error;
  ASSERT_TRUE(decodeListReply(reply, listed, error)) << error;
  ASSERT_EQ(listed.entries.size(), 8u);
  EXPECT_EQ(listed.entries[6].texts[4], (Bytes{0x41, 0x00}));
  EXPECT_EQ(listed.entries[7].texts[2], toUtf16le("Tia"));
}

}  // namespace
}  // namespace dirserver
