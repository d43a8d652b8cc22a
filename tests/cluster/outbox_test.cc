// The outbox's rules: the latest value per key, the revision each was made on, what the bucket's
// confirmations and refusals take out, its bound, and that what it holds survives a restart.
#include "cluster/outbox.h"
#include "cluster/reconcile.h"

#include <gtest/gtest.h>

#include "support/recording_env.h"
#include "support/test_support.h"

namespace dirserver {
namespace {

Bytes value(const std::string& text) { return Bytes(text.begin(), text.end()); }

class OutboxTest : public ::testing::Test {
 protected:
  testing::TestContext t;
  testing::RecordingEnv env;
  std::string path = (t.dir / "cluster_outbox").string();
  Outbox outbox{env, path, 3};

  bool flush() {
    std::string error;
    const bool ok = outbox.flush(error);
    EXPECT_TRUE(ok) << error;
    return ok;
  }
  OutboxEntries reloaded() {
    Outbox again(env, path, 3);
    EXPECT_EQ(again.load(), "");
    return again.entries();
  }
};

TEST_F(OutboxTest, ConfirmationsDropOnlyTheValueConfirmedAndMoveANewerOneOnTheirRevision) {
  outbox.saw("1.aa", 5);
  outbox.caughtUp();
  ASSERT_TRUE(outbox.put("1.aa", value("a1")));
  ASSERT_TRUE(outbox.put("1.bb", value("b1")));
  EXPECT_EQ(outbox.revisionOf("1.aa"), 5u);
  EXPECT_EQ(outbox.revisionOf("1.bb"), 0u);  // a key the bucket does not hold

  // a2 was made while a1 was on its way: once a1 is confirmed at 6, a2 is made on 6.
  ASSERT_TRUE(outbox.put("1.aa", value("a2")));
  outbox.confirmed("1.aa", value("a1"), 6);
  EXPECT_EQ(outbox.revisionOf("1.aa"), 6u);
  outbox.confirmed("1.aa", value("a2"), 7);
  EXPECT_EQ(outbox.revisionOf("1.aa"), std::nullopt);
  // A later change of the key is made on what this node saw confirmed.
  ASSERT_TRUE(outbox.put("1.aa", value("a3")));
  EXPECT_EQ(outbox.revisionOf("1.aa"), 7u);

  // Refused: someone else's later change wins, but only over the value that was refused.
  outbox.rejected("1.bb", value("b0"));
  EXPECT_EQ(outbox.size(), 2u);
  outbox.rejected("1.bb", value("b1"));
  EXPECT_EQ(outbox.revisionOf("1.bb"), std::nullopt);

  ASSERT_TRUE(flush());
  const OutboxEntries expected{{"1.aa", {7, value("a3")}}};
  EXPECT_EQ(reloaded(), expected);
}

TEST_F(OutboxTest, HoldsNoMoreThanItsBoundAndWhatItHoldsSurvivesARestart) {
  ASSERT_TRUE(outbox.put("1.aa", value("a")));
  ASSERT_TRUE(outbox.put("1.bb", value("b")));
  ASSERT_TRUE(outbox.put("1.cc", value("c")));
  EXPECT_FALSE(outbox.put("1.dd", value("d")));
  EXPECT_TRUE(outbox.put("1.cc", value("c2")));  // a key it holds is replaced
  ASSERT_TRUE(flush());

  Outbox again(env, path, 3);
  EXPECT_EQ(again.load(), "");
  EXPECT_EQ(again.entries(), outbox.entries());
  // Its revisions are what a later change of the key is made on.
  again.confirmed("1.aa", value("a"), 12);
  ASSERT_TRUE(again.put("1.aa", value("a2")));
  EXPECT_EQ(again.revisionOf("1.aa"), 12u);
}

// A flush that fails is retried as a rewrite of everything held; one that finds nothing new
// writes nothing; a confirmation asks for a flush once until the flush comes.
TEST_F(OutboxTest, AFailedFlushIsMadeGoodByTheNextAndConfirmationsAskForOne) {
  int asked = 0;
  outbox.onDirty([&] { ++asked; });
  ASSERT_TRUE(outbox.put("1.aa", value("a")));
  ASSERT_TRUE(flush());  // the first flush writes the file whole
  ASSERT_TRUE(outbox.put("1.bb", value("b")));
  env.fail("fdatasync cluster_outbox");
  std::string error;
  EXPECT_FALSE(outbox.flush(error));
  ASSERT_TRUE(flush());
  EXPECT_EQ(reloaded(), outbox.entries());
  EXPECT_EQ(reloaded().size(), 2u);

  const std::size_t calls = env.calls().size();
  ASSERT_TRUE(flush());
  EXPECT_EQ(env.calls().size(), calls);

  outbox.confirmed("1.aa", value("a"), 3);
  outbox.confirmed("1.bb", value("b"), 4);
  EXPECT_EQ(asked, 1);
  ASSERT_TRUE(flush());
  outbox.confirmed("1.zz", value("z"), 5);  // nothing held: nothing to write
  EXPECT_EQ(asked, 1);
  EXPECT_TRUE(reloaded().empty());
}

TEST_F(OutboxTest, ADamagedFileIsSaidAndWhatCameBeforeTheDamageIsKept) {
  outbox.caughtUp();
  ASSERT_TRUE(outbox.put("1.aa", value("a")));
  ASSERT_TRUE(flush());
  ASSERT_TRUE(outbox.put("1.bb", value("b")));
  ASSERT_TRUE(flush());
  Bytes bytes = testing::readFile(path);
  bytes[bytes.size() - 2] ^= 1;
  testing::writeFile(path, bytes);
  Outbox again(env, path, 3);
  const std::string said = again.load();
  EXPECT_EQ(said.rfind("the outbox file: checksum mismatch at byte ", 0), 0u) << said;
  EXPECT_NE(said.find("; kept aside as .damaged"), std::string::npos) << said;
  EXPECT_EQ(testing::readFile(path + ".damaged"), bytes);
  const OutboxEntries expected{{"1.aa", {0, value("a")}}};
  EXPECT_EQ(again.entries(), expected);
  std::string error;
  ASSERT_TRUE(again.flush(error)) << error;
  EXPECT_EQ(loadOutbox(env, path).entries, expected);
}

}  // namespace
}  // namespace dirserver

namespace dirserver {
namespace {

// A change made while the node is still catching up with the bucket (NATS down at start, say)
// does not know its key's revision yet: the bucket's current value of that key is what it
// replaces, so it stays over that value, and goes out made on its revision once caught up.
TEST_F(OutboxTest, AChangeMadeBeforeTheFirstCatchUpStaysOverTheBucketsValueAndIsMadeOnIt) {
  ASSERT_TRUE(outbox.put("1.aa", value("shut down")));
  outbox.saw("1.aa", 7);  // the bucket's current value, registered before
  EXPECT_TRUE(keepsLocalChange(outbox.revisionOf("1.aa"), 7));
  ASSERT_TRUE(outbox.put("1.bb", value("registered")));  // a key the bucket does not hold
  ASSERT_TRUE(flush());
  // Killed before it caught up: the restarted node does not take the unknown base for a revision.
  Outbox again(env, path, 3);
  EXPECT_EQ(again.load(), "");
  again.saw("1.aa", 7);
  EXPECT_TRUE(keepsLocalChange(again.revisionOf("1.aa"), 7));

  again.caughtUp();
  EXPECT_EQ(again.revisionOf("1.aa"), 7u);
  EXPECT_EQ(again.revisionOf("1.bb"), 0u);
  EXPECT_FALSE(keepsLocalChange(again.revisionOf("1.aa"), 8));  // someone's later change
  // Made after the catch-up, a change of a key the bucket does not hold is made on nothing.
  ASSERT_TRUE(again.put("1.cc", value("new")));
  EXPECT_EQ(again.revisionOf("1.cc"), 0u);
  std::string error;
  ASSERT_TRUE(again.flush(error)) << error;
  const OutboxEntries expected{{"1.aa", {7, value("shut down")}},
                               {"1.bb", {0, value("registered")}},
                               {"1.cc", {0, value("new")}}};
  EXPECT_EQ(loadOutbox(env, path).entries, expected);
}

}  // namespace
}  // namespace dirserver
