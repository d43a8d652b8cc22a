#include "registry/server_registry.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/test_support.h"

namespace dirserver {
namespace {

std::vector<ServerKey> keys(const ServerRegistry& registry, ServerType type) {
  std::vector<ServerKey> out;
  for (auto it = registry.begin(type); it != registry.end(type); ++it) out.push_back(it->first);
  return out;
}

TEST(ServerRegistry, WalksEachMapInAscendingUnsignedKeyOrder) {
  ServerRegistry registry;
  for (ServerKey key : {4294967295u, 5u, 7u, 0x80000000u}) {
    registry.insert(ServerType::Melee, key, ServerRecord{});
  }
  EXPECT_EQ(keys(registry, ServerType::Melee),
            (std::vector<ServerKey>{5, 7, 0x80000000u, 4294967295u}));
  EXPECT_TRUE(keys(registry, ServerType::GetTheQuorv).empty());
}

TEST(ServerRegistry, KeysAreUniquePerMapOnly) {
  ServerRegistry registry;
  ServerRecord first;
  first.registrationTime = 1;
  ServerRecord second;
  second.registrationTime = 2;
  EXPECT_TRUE(registry.insert(ServerType::Melee, 9, first).second);
  const auto again = registry.insert(ServerType::Melee, 9, second);
  EXPECT_FALSE(again.second);
  EXPECT_EQ(again.first->second.registrationTime, 1);
  EXPECT_TRUE(registry.insert(ServerType::TeamMelee, 9, second).second);
  EXPECT_EQ(registry.size(ServerType::Melee), 1u);
  EXPECT_EQ(registry.totalCount(), 2u);
}

TEST(ServerRegistry, EraseByKeyAndPosition) {
  ServerRegistry registry;
  registry.insert(ServerType::GetTheQuorv, 1, ServerRecord{});
  registry.insert(ServerType::GetTheQuorv, 2, ServerRecord{});
  registry.insert(ServerType::Melee, 1, ServerRecord{});
  EXPECT_EQ(registry.erase(ServerType::TeamMelee, 1), 0u);
  EXPECT_EQ(registry.erase(ServerType::GetTheQuorv, 3), 0u);
  EXPECT_EQ(registry.totalCount(), 3u);
  EXPECT_EQ(registry.erase(ServerType::GetTheQuorv, 1), 1u);
  auto next = registry.erase(ServerType::GetTheQuorv, registry.begin(ServerType::GetTheQuorv));
  EXPECT_EQ(next, registry.end(ServerType::GetTheQuorv));
  EXPECT_EQ(keys(registry, ServerType::Melee), (std::vector<ServerKey>{1}));
  EXPECT_EQ(registry.find(ServerType::GetTheQuorv, 2), registry.end(ServerType::GetTheQuorv));
}

TEST(ServerRegistry, ChangeCountFollowsMembershipNotTimes) {
  ServerRegistry registry;
  const auto start = registry.changeCount();
  registry.insert(ServerType::Melee, 1, ServerRecord{});
  registry.insert(ServerType::Melee, 1, ServerRecord{});  // already there: no change
  EXPECT_EQ(registry.changeCount(), start + 1);
  registry.find(ServerType::Melee, 1)->second.registrationTime = 77;
  EXPECT_EQ(registry.changeCount(), start + 1);
  registry.erase(ServerType::Melee, 2);
  EXPECT_EQ(registry.changeCount(), start + 1);
  registry.erase(ServerType::Melee, 1);
  EXPECT_EQ(registry.changeCount(), start + 2);
}

}  // namespace
}  // namespace dirserver
