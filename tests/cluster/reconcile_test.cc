// The rules that make a starting node and the bucket agree.
#include "cluster/reconcile.h"

#include <gtest/gtest.h>

namespace dirserver {
namespace {

TEST(Reconcile, AnEntryNoLaterThanTheRevisionAWaitingChangeWasMadeOnLeavesItInPlace) {
  EXPECT_FALSE(keepsLocalChange(std::nullopt, 1, false));
  EXPECT_FALSE(keepsLocalChange(std::nullopt, 1, true));  // nothing waits: this node's own value
  EXPECT_TRUE(keepsLocalChange(7, 7, false));   // what the change was made on
  EXPECT_TRUE(keepsLocalChange(7, 3, false));   // older still
  EXPECT_FALSE(keepsLocalChange(7, 8, false));  // someone else's later change
  EXPECT_FALSE(keepsLocalChange(0, 1, false));  // made on a key the bucket did not hold
  // Published V1, then changed to V2 before the watcher had V1's revision: V2 waits on the
  // revision V1 was made on, and V1 coming back from the bucket is not put over it.
  EXPECT_TRUE(keepsLocalChange(7, 8, true));
  EXPECT_TRUE(keepsLocalChange(kUnseenRevision, 8, false));   // made before the catch-up
  EXPECT_FALSE(keepsLocalChange(kUnknownRevision, 8, false));  // last writer wins
  EXPECT_TRUE(keepsLocalChange(kUnknownRevision, 8, true));
}

TEST(Reconcile, OnlyANewEmptyBucketIsSeeded) {
  EXPECT_EQ(judgeBucket("id-1", "id-1", 0), BucketVerdict::Follow);  // everything expired
  EXPECT_EQ(judgeBucket("id-1", "id-1", 40), BucketVerdict::Follow);
  EXPECT_EQ(judgeBucket("id-1", "id-2", 0), BucketVerdict::Seed);
  EXPECT_EQ(judgeBucket("", "id-2", 0), BucketVerdict::Seed);  // a single node joins a new cluster
  EXPECT_EQ(judgeBucket("id-1", "id-2", 40), BucketVerdict::Adopt);
  EXPECT_EQ(judgeBucket("", "id-2", 40), BucketVerdict::Adopt);
}

}  // namespace
}  // namespace dirserver
