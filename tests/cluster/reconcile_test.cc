// The rules that make a starting node and the bucket agree.
#include "cluster/reconcile.h"

#include <gtest/gtest.h>

namespace dirserver {
namespace {

TEST(Reconcile, AnEntryNoLaterThanTheRevisionAWaitingChangeWasMadeOnLeavesItInPlace) {
  EXPECT_FALSE(keepsLocalChange(std::nullopt, 1));
  EXPECT_TRUE(keepsLocalChange(7, 7));   // what the change was made on
  EXPECT_TRUE(keepsLocalChange(7, 3));   // older still
  EXPECT_FALSE(keepsLocalChange(7, 8));  // someone else's later change
  EXPECT_FALSE(keepsLocalChange(0, 1));  // made on a key the bucket did not hold
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
