#include "registry/host_id.h"

#include <gtest/gtest.h>

#include <set>

#include "registry/server_key.h"
#include "registry/server_registry.h"
#include "support/test_support.h"

namespace dirserver {
namespace {

ServerFields fields(const std::vector<std::string>& strings) {
  return testing::makeRecord(strings).fields;
}

// The id is stored with the host and will name it in stores shared between servers: its bytes are
// fixed here, and no two hosts share them, however their bytes are spread over the fields.
TEST(HostId, IsTheDigestOfTheTypeAndTheLengthPrefixedFields) {
  EXPECT_EQ(hostIdText(computeHostId(ServerType::GetTheQuorv, ServerFields{})),
            "5322fecfc92a5e3248a297a3df3eddfb");
  const ServerFields host = fields({"/Aviantorvale/Melee Game", "10.0.0.1", "Host", "a", "b", "c", "d"});
  EXPECT_EQ(hostIdText(computeHostId(ServerType::Melee, host)), "7f786451ebc5e91396197ec89529997c");

  // The same bytes split differently between fields, in other orders, or under another type: the
  // key cannot tell some of them apart; the id tells all.
  const std::vector<std::pair<ServerType, ServerFields>> hosts = {
      {ServerType::Melee, fields({"ab", "c", "", "", "", "", ""})},
      {ServerType::Melee, fields({"a", "bc", "", "", "", "", ""})},
      {ServerType::Melee, fields({"abc", "", "", "", "", "", ""})},
      {ServerType::Melee, fields({"", "abc", "", "", "", "", ""})},
      {ServerType::Melee, fields({"c", "ab", "", "", "", "", ""})},
      {ServerType::Melee, fields({"", "", "", "", "", "", "abc"})},
      {ServerType::TeamMelee, fields({"ab", "c", "", "", "", "", ""})},
      {ServerType::GetTheQuorv, fields({"ab", "c", "", "", "", "", ""})},
  };
  std::set<Bytes> encodings;
  std::set<std::string> ids;
  for (const auto& [type, held] : hosts) {
    encodings.insert(hostIdBytes(type, held));
    ids.insert(hostIdText(computeHostId(type, held)));
  }
  EXPECT_EQ(encodings.size(), hosts.size());
  EXPECT_EQ(ids.size(), hosts.size());
  EXPECT_EQ(computeServerKey(hosts[0].second), computeServerKey(hosts[4].second));
}

TEST(HostId, IsComputedWhenAHostIsFirstStoredAndKeptThroughItsRefreshes) {
  ServerRegistry registry;
  ServerRecord record = testing::makeRecord({"p", "Host", "", "", "", "", ""}, 1);
  const ServerKey key = computeServerKey(record.fields);
  const HostId id = computeHostId(ServerType::Melee, record.fields);
  const auto added = registry.insert(ServerType::Melee, key, record, 1).first;
  EXPECT_EQ(added->id, id);
  record.registrationTime = 2;
  const auto refreshed = registry.replace(ServerType::Melee, added, record, 2);
  EXPECT_EQ(refreshed->id, id);
  EXPECT_EQ(registry.findById(ServerType::Melee, key, id), refreshed);
  // Found by key and id only: another host of the same key, or the same fields under another
  // type, is not this one.
  const ServerRecord permuted = testing::makeRecord({"Host", "p", "", "", "", "", ""}, 1);
  ASSERT_EQ(computeServerKey(permuted.fields), key);
  registry.insert(ServerType::Melee, key, permuted);
  registry.insert(ServerType::TeamMelee, key, record);
  EXPECT_EQ(registry.findById(ServerType::Melee, key, id), refreshed);
  EXPECT_EQ(registry.findById(ServerType::Melee, key, computeHostId(ServerType::Melee, permuted.fields))->record->fields,
            permuted.fields);
  EXPECT_EQ(registry.findById(ServerType::GetTheQuorv, key, id), registry.end(ServerType::GetTheQuorv));
  EXPECT_EQ(registry.findById(ServerType::Melee, key + 1, id), registry.end(ServerType::Melee));
}

}  // namespace
}  // namespace dirserver
