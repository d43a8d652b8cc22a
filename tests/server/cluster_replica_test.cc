// A node of a cluster on the loop: what it publishes of its own changes, and how it applies the
// bucket's entries, owner rules and the registry's bound included.
#include "server/cluster_replica.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <optional>

#include "protocol/message.h"
#include "registry/expiry.h"
#include "registry/registration.h"
#include "registry/server_key.h"
#include "support/loopback.h"

namespace dirserver {
namespace {

using namespace std::chrono_literals;
using testing::CoreHarness;
using testing::hostStrings;
using testing::registration;
using testing::shutdown;

constexpr std::string_view kMelee = "/Aviantorvale/Melee Game";


PeerAddress address(const char* dotted) { return ::inet_addr(dotted); }

struct Published {
  std::string key;
  HostState state;
};

class ClusterNode {
 public:
  ClusterNode() {
    harness.start();
    replica.emplace(harness.reactor(), harness.context(), harness.changes(), "node-a",
                    [this](std::string key, Bytes value) {
                      Published one{std::move(key), {}};
                      EXPECT_EQ(decodeHostState(value, one.state), "");
                      published.push_back(std::move(one));
                    });
  }

  // The state another node publishes for host `name`, registered `age` seconds ago.
  HostState peerState(std::string_view name, const char* owner, std::int64_t age = 0) {
    HostState state;
    state.type = ServerType::Melee;
    const std::int64_t now = harness.test().now;
    state.record = testing::makeRecord(hostStrings(kMelee, name), storedTime(now - age));
    state.owner = address(owner);
    state.ownerSeenAt = now - age;
    state.node = "node-b";
    state.stampMillis = now * 1000;
    return state;
  }

  void apply(const HostState& state) {
    replica->apply({BucketEntry{clusterKey(state.type, state.record.fields), 1, state}});
    harness.pump();
  }

  std::optional<HostEntry> find(std::string_view name) {
    const ServerRecord record = testing::makeRecord(hostStrings(kMelee, name));
    const ServerRegistry& registry = harness.context().registry;
    const auto at = registry.find(ServerType::Melee, computeServerKey(record.fields), record.fields);
    if (at == registry.end(ServerType::Melee)) return std::nullopt;
    return *at;
  }

  void advance(std::int64_t seconds) {
    harness.test().now += seconds;
    harness.advance(std::chrono::seconds(seconds));
  }

  CoreHarness harness;
  std::vector<Published> published;
  std::optional<ClusterReplica> replica;
};

TEST(ClusterReplica, PublishesItsOwnChangesAsWholeStatesAndNothingItHeardOrSwept) {
  ClusterNode node;
  ASSERT_TRUE(node.harness.roundTrip(registration("Bob"), "127.0.0.2"));
  ASSERT_EQ(node.published.size(), 1u);
  const ServerRecord bob = testing::makeRecord(hostStrings(kMelee, "Bob"));
  EXPECT_EQ(node.published[0].key, clusterKey(ServerType::Melee, bob.fields));
  const HostState& added = node.published[0].state;
  EXPECT_EQ(added.record.fields, bob.fields);
  EXPECT_EQ(added.record.registrationTime, storedTime(node.harness.test().now));
  EXPECT_EQ(added.owner, address("127.0.0.2"));
  EXPECT_EQ(added.ownerSeenAt, node.harness.test().now);
  EXPECT_EQ(added.node, "node-a");
  EXPECT_FALSE(added.removed);

  // A refresh within the same second changes nothing, so nothing goes out; a second later it does.
  node.harness.roundTrip(registration("Bob"), "127.0.0.2");
  EXPECT_EQ(node.published.size(), 1u);
  node.advance(1);
  node.harness.roundTrip(registration("Bob"), "127.0.0.2");
  ASSERT_EQ(node.published.size(), 2u);
  EXPECT_EQ(node.published[1].state.record.registrationTime, storedTime(node.harness.test().now));

  // What came from the bucket is not sent back.
  node.apply(node.peerState("Carol", "127.0.0.3"));
  EXPECT_TRUE(node.find("Carol"));
  EXPECT_EQ(node.published.size(), 2u);

  // A shutdown and an operator's removal go out as tombstones carrying the host's last state.
  node.harness.roundTrip(shutdown("Bob"), "127.0.0.2");
  ASSERT_EQ(node.published.size(), 3u);
  EXPECT_TRUE(node.published[2].state.removed);
  EXPECT_EQ(node.published[2].state.owner, address("127.0.0.2"));
  EXPECT_EQ(node.harness.changes().removeHosts(
                [](ServerType, const HostEntry& host) { return host.from == ::inet_addr("127.0.0.3"); }),
            1u);
  ASSERT_EQ(node.published.size(), 4u);
  EXPECT_TRUE(node.published[3].state.removed);
  EXPECT_EQ(node.published[3].key, clusterKey(ServerType::Melee,
                                              testing::makeRecord(hostStrings(kMelee, "Carol")).fields));

  // The sweep's removals stay on this node.
  node.harness.roundTrip(registration("Dave"), "127.0.0.2");
  ASSERT_EQ(node.published.size(), 5u);
  node.advance(kExpirySeconds + 120);
  EXPECT_FALSE(node.find("Dave"));
  EXPECT_EQ(node.published.size(), 5u);
}

TEST(ClusterReplica, AppliesTheBucketsStatesWithTheirOwnersAndTimes) {
  ClusterNode node;
  const std::int64_t now = node.harness.test().now;
  node.apply(node.peerState("Carol", "127.0.0.3", 100));
  ASSERT_TRUE(node.find("Carol"));
  EXPECT_EQ(node.find("Carol")->record->registrationTime, storedTime(now - 100));
  EXPECT_EQ(node.find("Carol")->from, address("127.0.0.3"));

  // The same state again is no change at all.
  const std::uint64_t version = node.harness.context().registry.version();
  node.apply(node.peerState("Carol", "127.0.0.3", 100));
  EXPECT_EQ(node.harness.context().registry.version(), version);

  // A refresh moves the time; one stamped in the future (a peer's clock ahead) counts as now.
  node.apply(node.peerState("Carol", "127.0.0.3", 40));
  EXPECT_EQ(node.find("Carol")->record->registrationTime, storedTime(now - 40));
  node.apply(node.peerState("Carol", "127.0.0.3", -3600));
  EXPECT_EQ(node.find("Carol")->record->registrationTime, storedTime(now));

  // The owner came with the state: only its address shuts the host down here.
  node.harness.roundTrip(shutdown("Carol"), "127.0.0.2");
  EXPECT_TRUE(node.find("Carol"));
  EXPECT_NE(node.harness.test().console.err().find("registered from another address"),
            std::string::npos);
  node.harness.roundTrip(shutdown("Carol"), "127.0.0.3");
  EXPECT_FALSE(node.find("Carol"));

  // A tombstone removes the host; one for a host not here changes nothing.
  node.apply(node.peerState("Erin", "127.0.0.3"));
  HostState gone = node.peerState("Erin", "127.0.0.3");
  gone.removed = true;
  node.apply(gone);
  EXPECT_FALSE(node.find("Erin"));
  const std::uint64_t before = node.harness.context().registry.version();
  node.apply(gone);
  EXPECT_EQ(node.harness.context().registry.version(), before);

  // When the owner last registered came along too: a host whose owner has been silent for over
  // ten minutes on another node passes to the address that registers it here, and one whose
  // owner was just seen does not.
  node.apply(node.peerState("Frank", "127.0.0.3", kOwnerSilenceSeconds + 5));
  node.apply(node.peerState("Grace", "127.0.0.3", kOwnerSilenceSeconds - 60));
  node.harness.roundTrip(registration("Frank"), "127.0.0.2");
  node.harness.roundTrip(registration("Grace"), "127.0.0.2");
  EXPECT_EQ(node.find("Frank")->from, address("127.0.0.2"));
  EXPECT_EQ(node.find("Grace")->from, address("127.0.0.3"));
}

TEST(ClusterReplica, AFullListDropsNewHostsFromTheBucketAndPeersAreSummedUpPerNode) {
  ClusterNode node;
  ServerRegistry& registry = node.harness.context().registry;
  node.harness.changes().change(ChangeOrigin::Replay, [&] {
    for (std::uint32_t i = 0; registry.totalCount() < kMaxServers; ++i) {
      ServerRecord record = testing::makeRecord(hostStrings(kMelee, "h" + std::to_string(i)));
      const ServerKey key = computeServerKey(record.fields);
      registry.insert(ServerType::Melee, key, std::move(record));
    }
  });
  node.harness.pump();
  node.replica->apply({}, true);
  EXPECT_NE(node.harness.test().console.out().find("caught up with the bucket, 65531 hosts"),
            std::string::npos);

  node.apply(node.peerState("Late", "127.0.0.3"));
  EXPECT_FALSE(node.find("Late"));
  EXPECT_EQ(registry.totalCount(), kMaxServers);
  EXPECT_NE(node.harness.test().console.err().find(
                "host 'Late' from node 'node-b' dropped: the list holds 65531 hosts"),
            std::string::npos);
  // A host already listed still follows the bucket.
  node.apply(node.peerState("h7", "127.0.0.3"));
  EXPECT_EQ(node.find("h7")->from, address("127.0.0.3"));
  HostState fromC = node.peerState("h8", "127.0.0.4");
  fromC.node = "node-c";
  node.apply(fromC);

  const std::string before = node.harness.test().console.out();
  EXPECT_EQ(before.find("changes from other nodes"), std::string::npos);
  node.harness.advance(60s);
  EXPECT_NE(node.harness.test().console.out().find(
                "- cluster: 2 changes from other nodes (node-b 1, node-c 1)"),
            std::string::npos);
}

}  // namespace
}  // namespace dirserver
