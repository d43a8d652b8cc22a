// A node that catches up with the bucket for the first time: which of its hosts stay, and a new,
// empty bucket seeded from its registry.
#include "server/startup_reconcile.h"

#include <gtest/gtest.h>

#include <optional>

#include "registry/server_key.h"
#include "support/loopback.h"

namespace dirserver {
namespace {

using testing::hostStrings;
using testing::registration;

constexpr std::string_view kMelee = "/Aviantorvale/Melee Game";

std::string keyOf(std::string_view name) {
  return clusterKey(ServerType::Melee, testing::makeRecord(hostStrings(kMelee, name)).fields);
}

class Starting {
 public:
  // A node whose files held `hosts`, whose outbox holds a change of `waiting`, and which followed
  // the bucket of id `remembered` last.
  Starting(const std::vector<std::string_view>& hosts, std::optional<std::string_view> waiting,
           std::string rememberedId) {
    for (const std::string_view name : hosts) {
      ServerRecord record = testing::makeRecord(hostStrings(kMelee, name));
      const ServerKey key = computeServerKey(record.fields);
      harness.context().registry.insert(ServerType::Melee, key, std::move(record));
    }
    harness.start();
    if (waiting) outbox.put(keyOf(*waiting), Bytes{1, 2, 3});
    const PublishValue publish = [this](std::string key, Bytes) { published.push_back(key); };
    replica.emplace(harness.reactor(), harness.context(), harness.changes(), "node-a", publish);
    std::unordered_set<std::string> keys;
    for (const auto& [key, entry] : outbox.entries()) keys.insert(key);
    reconcile.emplace(harness.context(), harness.changes(), *replica, std::move(keys), "dirserver",
                      std::move(rememberedId), publish,
                      [this](std::string id) { remembered = std::move(id); });
  }

  // The bucket's current values: `names`, each as another node published it.
  void catchUp(const std::vector<std::string_view>& names, const std::string& bucketId) {
    std::vector<BucketEntry> entries;
    std::uint64_t revision = 0;
    for (const std::string_view name : names) {
      HostState state;
      state.type = ServerType::Melee;
      state.record = testing::makeRecord(hostStrings(kMelee, name), storedTime(harness.test().now));
      state.node = "node-b";
      entries.push_back({.key = keyOf(name), .revision = ++revision, .state = state});
    }
    reconcile->observe(entries);
    replica->apply(entries, true);
    reconcile->caughtUp(bucketId, names.size());
    harness.pump();
  }

  bool holds(std::string_view name) {
    const ServerRecord record = testing::makeRecord(hostStrings(kMelee, name));
    const ServerRegistry& registry = harness.context().registry;
    return registry.find(ServerType::Melee, computeServerKey(record.fields), record.fields) !=
           registry.end(ServerType::Melee);
  }

  testing::CoreHarness harness;
  Outbox outbox{harness.test().env, (harness.test().dir / "cluster_outbox").string(), 10};
  std::vector<std::string> published;
  std::string remembered = "unchanged";
  std::optional<ClusterReplica> replica;
  std::optional<StartupReconcile> reconcile;
};

TEST(StartupReconcile, TheBucketsHostsReplaceTheNodesButForItsWaitingAndItsNewChanges) {
  Starting node({"Stale", "Waiting", "Listed"}, "Waiting", "id-1");
  // Served from its files before it caught up: a registration made meanwhile stays.
  ASSERT_TRUE(node.harness.roundTrip(registration("Fresh"), "127.0.0.2"));
  node.catchUp({"Listed", "Elsewhere"}, "id-1");
  EXPECT_FALSE(node.holds("Stale"));
  EXPECT_TRUE(node.holds("Waiting"));
  EXPECT_TRUE(node.holds("Listed"));
  EXPECT_TRUE(node.holds("Fresh"));
  EXPECT_TRUE(node.holds("Elsewhere"));
  // The removal is this node's alone: only its own registration went out.
  EXPECT_EQ(node.published, std::vector<std::string>{keyOf("Fresh")});
  EXPECT_NE(node.harness.test().console.out().find(
                "- cluster: 1 hosts this node held are not in the bucket: removed here\n"),
            std::string::npos);
  EXPECT_EQ(node.remembered, "unchanged");  // the same bucket

  // Only the first catch-up reconciles: one after a reconnect applies and removes nothing more.
  ASSERT_TRUE(node.harness.roundTrip(registration("Later"), "127.0.0.2"));
  node.published.clear();
  node.catchUp({}, "id-1");
  EXPECT_TRUE(node.holds("Later"));
}

TEST(StartupReconcile, ANewEmptyBucketIsSeededWithTheRegistryNotAdopted) {
  Starting node({"Alpha", "Beta"}, std::nullopt, "id-1");
  node.catchUp({}, "id-2");
  EXPECT_TRUE(node.holds("Alpha"));
  EXPECT_TRUE(node.holds("Beta"));
  std::sort(node.published.begin(), node.published.end());
  std::vector<std::string> expected{keyOf("Alpha"), keyOf("Beta")};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(node.published, expected);
  EXPECT_EQ(node.remembered, "id-2");
  EXPECT_NE(node.harness.test().console.out().find(
                "- cluster: the bucket 'dirserver' is new and empty; seeding it with this node's 2 "
                "hosts\n"),
            std::string::npos);

  // Another bucket that holds hosts is adopted: the node's own go.
  Starting other({"Alpha"}, std::nullopt, "id-1");
  other.catchUp({"Gamma"}, "id-3");
  EXPECT_FALSE(other.holds("Alpha"));
  EXPECT_TRUE(other.holds("Gamma"));
  EXPECT_TRUE(other.published.empty());
  EXPECT_EQ(other.remembered, "id-3");
}

}  // namespace
}  // namespace dirserver
