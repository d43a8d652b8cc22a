#include "registry/server_registry.h"

#include <gtest/gtest.h>

#include <vector>

#include "registry/server_key.h"
#include "support/test_support.h"

namespace dirserver {
namespace {

ServerRecord host(const char* name, std::int32_t time = 0) {
  return testing::makeRecord({"p", name, "", "", "", "", ""}, time);
}

TEST(ServerRegistry, AHostIsItsKeyAndFieldsAndItsBytesAreCounted) {
  ServerRegistry registry;
  for (ServerKey key : {4294967295u, 5u, 7u, 0x80000000u}) {
    registry.insert(ServerType::Melee, key, host("b", 1));
  }
  // The same key with other fields is another host; the same key and fields
  // is the same host, and a second insert changes nothing.
  EXPECT_TRUE(registry.insert(ServerType::Melee, 5, host("a", 2)).second);
  EXPECT_TRUE(registry.insert(ServerType::Melee, 5, host("\xC3\xA9", 2)).second);  // bytes E9 00
  EXPECT_FALSE(registry.insert(ServerType::Melee, 5, host("b", 9)).second);
  EXPECT_TRUE(registry.insert(ServerType::TeamMelee, 5, host("b", 3)).second);
  const auto b = host("b");
  EXPECT_EQ(registry.find(ServerType::Melee, 5, b.fields)->record->registrationTime, 1);

  EXPECT_EQ(registry.totalCount(), 7u);
  EXPECT_EQ(registry.fieldBytes(), 7u * 4);  // "p" and a one-unit name each
  const auto version = registry.version();
  EXPECT_EQ(registry.erase(ServerType::GetTheQuorv, 5, b.fields), 0u);
  EXPECT_EQ(registry.erase(ServerType::Melee, 6, b.fields), 0u);
  // A refresh changes the version (the file shows the time), not the bytes held.
  registry.replace(ServerType::Melee, registry.find(ServerType::Melee, 7, b.fields), host("b", 9));
  EXPECT_EQ(registry.version(), version + 1);
  EXPECT_EQ(registry.find(ServerType::Melee, 7, b.fields)->record->registrationTime, 9);
  EXPECT_EQ(registry.erase(ServerType::Melee, 5, b.fields), 1u);
  EXPECT_NE(registry.find(ServerType::Melee, 5, host("a").fields), registry.end(ServerType::Melee));
  registry.erase(ServerType::Melee, registry.begin(ServerType::Melee));
  EXPECT_EQ(registry.fieldBytes(), 5u * 4);
  EXPECT_EQ(registry.size(ServerType::Melee), 4u);
}

TEST(ServerRegistry, SnapshotsShareRecordsAndKeepTheirMoment) {
  ServerRegistry registry;
  registry.insert(ServerType::Melee, 7, host("b", 1));
  registry.insert(ServerType::GetTheQuorv, 3, host("a", 1));
  const RegistrySnapshot before = registry.snapshot();
  registry.replace(ServerType::Melee, registry.begin(ServerType::Melee), host("b", 2));
  registry.erase(ServerType::GetTheQuorv, registry.begin(ServerType::GetTheQuorv));
  const RegistrySnapshot after = registry.snapshot();
  EXPECT_EQ(before.totalCount(), 2u);
  EXPECT_EQ(before.hosts[1].begin()->record->registrationTime, 1);
  EXPECT_EQ(after.totalCount(), 1u);
  EXPECT_EQ(after.hosts[1].begin()->record->registrationTime, 2);
  EXPECT_GT(after.version, before.version);

  // Every change is recorded once, in order, with the host's state; a refused insert is none.
  const auto changes = registry.takeChanges();
  ASSERT_EQ(changes.size(), 4u);
  using Kind = HostChange::Kind;
  EXPECT_EQ(changes[2].kind, Kind::Refreshed);
  EXPECT_EQ(changes[2].entry.record->registrationTime, 2);
  EXPECT_EQ(changes[3].kind, Kind::Removed);
  EXPECT_EQ(changes[3].type, ServerType::GetTheQuorv);
  EXPECT_EQ(changes[3].entry.key, 3u);
  registry.insert(ServerType::Melee, 7, host("b", 5));
  EXPECT_TRUE(registry.takeChanges().empty());

  // A refresh in the same second by the same owner (or by nobody known) changes nothing kept: no
  // change, no new version, only when the owner was last seen. A new owner always counts.
  constexpr PeerAddress kOwner = 0x0100000A, kOther = 0x0200000A;
  registry.replace(ServerType::Melee, registry.begin(ServerType::Melee), host("b", 2), kOwner, 10);
  ASSERT_EQ(registry.takeChanges().size(), 1u);
  const std::uint64_t version = registry.version();
  registry.replace(ServerType::Melee, registry.begin(ServerType::Melee), host("b", 2), kOwner, 11);
  registry.replace(ServerType::Melee, registry.begin(ServerType::Melee), host("b", 2));
  EXPECT_TRUE(registry.takeChanges().empty());
  EXPECT_EQ(registry.version(), version);
  EXPECT_EQ(registry.begin(ServerType::Melee)->ownerSeenAt, 0);
  registry.replace(ServerType::Melee, registry.begin(ServerType::Melee), host("b", 2), kOther, 12);
  const auto moved = registry.takeChanges();
  ASSERT_EQ(moved.size(), 1u);
  EXPECT_EQ(moved[0].entry.from, kOther);
  EXPECT_EQ(registry.countFrom(kOwner), 0u);
  EXPECT_GT(registry.version(), version);
}

}  // namespace
}  // namespace dirserver
