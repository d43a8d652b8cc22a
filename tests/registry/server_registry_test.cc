#include "registry/server_registry.h"

#include <gtest/gtest.h>

#include <vector>

namespace dirserver {
namespace {

TEST(ServerRegistry, ThreeMapsOfUniqueKeysInUnsignedOrder) {
  ServerRegistry registry;
  ServerRecord first;
  first.registrationTime = 1;
  for (ServerKey key : {4294967295u, 5u, 7u, 0x80000000u})
    registry.insert(ServerType::Melee, key, first);
  ServerRecord second;
  second.registrationTime = 2;
  EXPECT_FALSE(registry.insert(ServerType::Melee, 5, second).second);
  EXPECT_TRUE(registry.insert(ServerType::TeamMelee, 5, second).second);
  EXPECT_EQ(registry.find(ServerType::Melee, 5)->second.registrationTime, 1);

  std::vector<ServerKey> walked;
  for (auto it = registry.begin(ServerType::Melee); it != registry.end(ServerType::Melee); ++it) {
    walked.push_back(it->first);
  }
  EXPECT_EQ(walked, (std::vector<ServerKey>{5, 7, 0x80000000u, 4294967295u}));
  EXPECT_EQ(registry.totalCount(), 5u);

  const auto changes = registry.changeCount();
  EXPECT_EQ(registry.erase(ServerType::GetTheQuorv, 5), 0u);
  registry.find(ServerType::Melee, 7)->second.registrationTime = 9;  // a refresh is no change
  EXPECT_EQ(registry.changeCount(), changes);
  EXPECT_EQ(registry.erase(ServerType::Melee, 5), 1u);
  registry.erase(ServerType::Melee, registry.begin(ServerType::Melee));
  EXPECT_EQ(registry.changeCount(), changes + 2);
  EXPECT_EQ(registry.size(ServerType::Melee), 2u);
}

}  // namespace
}  // namespace dirserver
