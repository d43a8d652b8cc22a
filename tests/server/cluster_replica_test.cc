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
  explicit ClusterNode(ReplicaSettings settings = {}) {
    harness.start();
    replica.emplace(harness.reactor(), harness.context(), harness.changes(), "node-a",
                    [this](std::string key, Bytes value) {
                      Published one{std::move(key), {}};
                      EXPECT_EQ(decodeHostState(value, one.state), "");
                      published.push_back(std::move(one));
                    },
                    settings);
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

  // Applies `state` as the bucket hands it over: stored `storedAge` seconds ago by the bucket's
  // clock (a value the watcher hands over again at its start is old).
  void apply(const HostState& state, std::int64_t storedAge = 0) {
    const std::int64_t stored = (harness.test().now - storedAge) * 1000;
    replica->apply({BucketEntry{clusterKey(state.type, state.record.fields), 1, stored, state}});
    harness.pump();
  }

  // How many times `text` appears in what the node printed on `stream`.
  std::size_t printed(std::string_view text, bool err = true) {
    const std::string all = err ? harness.test().console.err() : harness.test().console.out();
    std::size_t count = 0;
    for (std::size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) {
      ++count;
    }
    return count;
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

TEST(ClusterReplica, NewHostsAreRefusedLocallyBelowTheBoundAndTheBucketsBeyondItDropped) {
  // A node refuses new hosts of its own at maxHosts; the margin up to the bound is for the
  // bucket's, which are dropped only beyond it.
  ClusterNode node({.bound = 5});
  node.harness.context().maxHosts = 3;
  ServerRegistry& registry = node.harness.context().registry;
  for (const char* name : {"a1", "a2", "a3", "a4"}) node.harness.roundTrip(registration(name), "127.0.0.2");
  EXPECT_EQ(registry.totalCount(), 3u);
  EXPECT_FALSE(node.find("a4"));
  EXPECT_EQ(node.printed("+error: server list is full"), 1u);
  EXPECT_EQ(node.published.size(), 3u);
  // A refresh of a listed host is never refused.
  node.advance(1);
  node.harness.roundTrip(registration("a1"), "127.0.0.2");
  EXPECT_EQ(node.published.size(), 4u);

  node.apply(node.peerState("b1", "127.0.0.3"));
  node.apply(node.peerState("b2", "127.0.0.3"));
  EXPECT_EQ(registry.totalCount(), 5u);
  node.replica->apply({}, true);
  EXPECT_EQ(node.printed("caught up with the bucket, 5 hosts listed", false), 1u);
  node.apply(node.peerState("Late", "127.0.0.3"));
  EXPECT_FALSE(node.find("Late"));
  EXPECT_EQ(registry.totalCount(), 5u);
  EXPECT_EQ(node.printed("host 'Late' from node 'node-b' dropped: the list holds 5 hosts"), 1u);
  // A host already listed still follows the bucket, and a tombstone makes room again.
  node.apply(node.peerState("a2", "127.0.0.3"));
  EXPECT_EQ(node.find("a2")->from, address("127.0.0.3"));
  HostState gone = node.peerState("b1", "127.0.0.3");
  gone.removed = true;
  node.apply(gone);
  node.apply(node.peerState("Late", "127.0.0.3"));
  EXPECT_TRUE(node.find("Late"));
}

TEST(ClusterReplica, OtherNodesChangesAreSummedUpOnceAMinuteOrPrintedEachWithConsoleFull) {
  for (const bool full : {false, true}) {
    SCOPED_TRACE(full ? "--console full" : "summary");
    ClusterNode node({.printEveryChange = full});
    node.apply(node.peerState("Carol", "127.0.0.3"));
    node.advance(1);
    node.apply(node.peerState("Carol", "127.0.0.3"));
    HostState fromC = node.peerState("Dave", "127.0.0.4");
    fromC.node = "node-c";
    node.apply(fromC);
    fromC.removed = true;
    node.apply(fromC);
    // What changes nothing is no change, and this node's own values print nothing more.
    node.apply(node.peerState("Carol", "127.0.0.3"));
    HostState own = node.peerState("Erin", "127.0.0.2");
    own.node = "node-a";
    node.apply(own);

    EXPECT_EQ(node.printed("changes from other nodes", false), 0u);
    node.harness.advance(58s);  // a second passed above
    EXPECT_EQ(node.printed("changes from other nodes", false), 0u);
    node.harness.advance(1s);
    if (full) {
      EXPECT_EQ(node.printed("- cluster: node '", false), 4u);
      EXPECT_EQ(node.printed("- cluster: node 'node-b' added 'Carol', 1 hosts listed", false), 1u);
      EXPECT_EQ(node.printed("- cluster: node 'node-b' refreshed 'Carol'", false), 1u);
      EXPECT_EQ(node.printed("- cluster: node 'node-c' removed 'Dave', 1 hosts listed", false), 1u);
      EXPECT_EQ(node.printed("changes from other nodes", false), 0u);
    } else {
      EXPECT_EQ(node.printed("- cluster: node '", false), 0u);
      EXPECT_EQ(node.printed("- cluster: 4 changes from other nodes (node-b 2, node-c 2)\n", false),
                1u);
      // A quiet minute prints nothing; the next one counts afresh.
      node.harness.advance(60s);
      node.apply(node.peerState("Frank", "127.0.0.3"));
      node.harness.advance(60s);
      EXPECT_EQ(node.printed("changes from other nodes", false), 2u);
      EXPECT_EQ(node.printed("- cluster: 1 changes from other nodes (node-b 1)\n", false), 1u);
    }
  }
}

TEST(ClusterReplica, APeersClockMoreThanAMinuteOffIsNamedOnceAMinuteAndItsFutureCountsAsNow) {
  ClusterNode node;
  const std::int64_t now = node.harness.test().now;
  const auto stamped = [&](std::string_view name, std::int64_t off, std::string peer = "node-b") {
    HostState state = node.peerState(name, "127.0.0.3");
    state.stampMillis = (now + off) * 1000;
    state.node = std::move(peer);
    return state;
  };
  const char* ahead = "+warning: cluster: node 'node-b' stamps its changes 61 s ahead of";
  node.apply(stamped("a", 60));
  node.apply(stamped("b", -60));
  EXPECT_EQ(node.printed("stamps its changes"), 0u);
  node.apply(stamped("c", 61));
  EXPECT_EQ(node.printed(ahead), 1u);
  node.apply(stamped("d", 61));
  node.apply(stamped("e", 3600, "node-c"));
  EXPECT_EQ(node.printed(ahead), 1u);
  EXPECT_EQ(node.printed("node 'node-c' stamps its changes 3600 s ahead of"), 1u);
  node.harness.advance(60s);
  node.apply(stamped("f", 61));
  EXPECT_EQ(node.printed(ahead), 2u);

  // Behind: a value the bucket has just stored, not one it stored long ago and hands over again.
  node.apply(stamped("g", -600, "node-d"), 600);
  EXPECT_EQ(node.printed("node 'node-d'"), 0u);
  node.apply(stamped("h", -90, "node-d"));
  EXPECT_EQ(node.printed("+warning: cluster: node 'node-d' stamps its changes 90 s behind"), 1u);
  // This node's own values are not compared.
  node.apply(stamped("i", 3600, "node-a"));
  EXPECT_EQ(node.printed("node 'node-a'"), 0u);

  // A peer clock an hour ahead: its host is registered now here, and its owner was seen now, so
  // another address takes the host over ten minutes later, not seventy.
  HostState early = node.peerState("Early", "127.0.0.3");
  early.record.registrationTime = storedTime(now + 3600);
  early.ownerSeenAt = now + 3600;
  node.apply(early);
  EXPECT_EQ(node.find("Early")->record->registrationTime, storedTime(now));
  node.advance(kOwnerSilenceSeconds);
  node.harness.roundTrip(registration("Early"), "127.0.0.2");
  EXPECT_EQ(node.find("Early")->from, address("127.0.0.2"));
}

// What the loop tells the status of what it applied: every entry it took in counts, and the lag
// from publication to application counts for changes as they happen, a stamp from the future (a
// peer's clock ahead) as no lag, and a value handed over again at a watcher's start not at all.
TEST(ClusterReplica, AppliedEntriesAndTheirApplyLagGoToTheStatus) {
  ClusterNode node;
  ClusterStatus status;
  node.replica->reportTo(&status);
  std::uint64_t skipFrom = 100;
  node.replica->skipWhen([&](const BucketEntry& entry) { return entry.revision >= skipFrom; });
  const std::int64_t nowMs = node.harness.test().now * 1000;
  const auto entry = [&](std::string_view name, std::int64_t stampMs, std::uint64_t revision,
                         bool live) {
    HostState state = node.peerState(name, "127.0.0.3");
    state.stampMillis = stampMs;
    BucketEntry made{clusterKey(state.type, state.record.fields), revision, nowMs, state};
    made.live = live;
    return made;
  };

  node.replica->apply({entry("Slow", nowMs - 1500, 7, true)});
  EXPECT_EQ(status.applied, 1u);
  EXPECT_EQ(status.lastAppliedRevision, 7u);
  EXPECT_EQ(status.lastApplyLagMicroseconds, 1'500'000);
  ASSERT_EQ(status.applyLag.count(), 1u);
  EXPECT_EQ(status.applyLag.cumulative(13), 0u);  // 1 s
  EXPECT_EQ(status.applyLag.cumulative(14), 1u);  // 2 s

  // A minute ahead: no lag, in the smallest bucket; and an hour-old value handed over again.
  node.replica->apply({entry("Ahead", nowMs + 30'000, 8, true), entry("Old", nowMs - 3'600'000, 9, false)});
  EXPECT_EQ(status.applied, 3u);
  EXPECT_EQ(status.lastAppliedRevision, 9u);
  EXPECT_EQ(status.lastApplyLagMicroseconds, 0);
  EXPECT_EQ(status.applyLag.count(), 2u);
  EXPECT_EQ(status.applyLag.cumulative(0), 1u);
  EXPECT_TRUE(node.find("Old"));

  // An entry the node keeps its own newer change over is seen, not applied.
  node.replica->apply({entry("Kept", nowMs, 120, true)});
  EXPECT_EQ(status.applied, 3u);
  EXPECT_EQ(status.lastAppliedRevision, 120u);
  EXPECT_EQ(status.applyLag.count(), 2u);
  EXPECT_FALSE(node.find("Kept"));
}

}  // namespace
}  // namespace dirserver
