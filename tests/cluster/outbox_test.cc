// The outbox's rules: the latest value per key, the revision each was made on, what the bucket's
// confirmations and refusals take out, its bound, and that what it holds survives a restart.
#include "cluster/outbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "cluster/host_state.h"
#include "cluster/reconcile.h"
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
  outbox.saw("1.aa", 5, false);
  outbox.caughtUp();
  ASSERT_TRUE(outbox.put("1.aa", value("a1")));
  ASSERT_TRUE(outbox.put("1.bb", value("b1")));
  EXPECT_EQ(outbox.revisionOf("1.aa"), 5u);
  EXPECT_EQ(outbox.revisionOf("1.bb"), kUnknownRevision);  // a key the bucket does not hold

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

TEST_F(OutboxTest, HoldsNoMoreThanItsBoundButReplacesAKeyItHolds) {
  ASSERT_TRUE(outbox.put("1.aa", value("a")));
  ASSERT_TRUE(outbox.put("1.bb", value("b")));
  ASSERT_TRUE(outbox.put("1.cc", value("c")));
  EXPECT_FALSE(outbox.put("1.dd", value("d")));
  EXPECT_TRUE(outbox.put("1.cc", value("c2")));
  ASSERT_TRUE(flush());
  EXPECT_EQ(reloaded(), outbox.entries());
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
  const OutboxEntries expected{{"1.aa", {kUnknownRevision, value("a")}}};
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
  outbox.saw("1.aa", 7, false);  // the bucket's current value, registered before
  EXPECT_TRUE(keepsLocalChange(outbox.revisionOf("1.aa"), 7, false));
  ASSERT_TRUE(outbox.put("1.bb", value("registered")));  // a key the bucket does not hold
  ASSERT_TRUE(flush());
  // Killed before it caught up: the restarted node does not take the unknown base for a revision.
  Outbox again(env, path, 3);
  EXPECT_EQ(again.load(), "");
  again.saw("1.aa", 7, false);
  EXPECT_TRUE(keepsLocalChange(again.revisionOf("1.aa"), 7, false));

  again.caughtUp();
  EXPECT_EQ(again.revisionOf("1.aa"), 7u);
  EXPECT_EQ(again.revisionOf("1.bb"), 0u);
  EXPECT_FALSE(keepsLocalChange(again.revisionOf("1.aa"), 8, false));  // someone's later change
  // Made after the catch-up, a change of a key the bucket does not hold is made on no known
  // revision (see below).
  ASSERT_TRUE(again.put("1.cc", value("new")));
  EXPECT_EQ(again.revisionOf("1.cc"), kUnknownRevision);
  std::string error;
  ASSERT_TRUE(again.flush(error)) << error;
  const OutboxEntries expected{{"1.aa", {7, value("shut down")}},
                               {"1.bb", {0, value("registered")}},
                               {"1.cc", {kUnknownRevision, value("new")}}};
  EXPECT_EQ(loadOutbox(env, path).entries, expected);
}


Bytes tombstone() {
  HostState state;
  state.removed = true;
  return encodeHostState(state);
}

// What the outbox keeps of the bucket's keys stays within the hosts it knows of: a tombstone with
// no change of its key waiting makes it forget the key, and a later change of that key goes out
// on an unknown base (without an expected revision: the last writer wins), under the bucket's
// entries meanwhile.
TEST_F(OutboxTest, ATombstonesKeyIsForgottenAndALaterChangeOfItIsMadeOnAnUnknownBase) {
  outbox.saw("1.aa", 4, false);
  outbox.saw("1.bb", 5, false);
  outbox.saw("1.cc", 6, false);
  outbox.caughtUp();
  outbox.saw("1.aa", 7, true);  // another node's shutdown
  ASSERT_TRUE(outbox.put("1.aa", value("again")));
  EXPECT_EQ(outbox.revisionOf("1.aa"), kUnknownRevision);
  EXPECT_FALSE(keepsLocalChange(outbox.revisionOf("1.aa"), 8, false));
  // Its confirmation moves a newer value of the key onto the revision it got.
  ASSERT_TRUE(outbox.put("1.aa", value("again, refreshed")));
  outbox.confirmed("1.aa", value("again"), 8);
  EXPECT_EQ(outbox.revisionOf("1.aa"), 8u);

  // A tombstone of a key whose change waits is what that change is checked against.
  ASSERT_TRUE(outbox.put("1.bb", value("b")));
  outbox.saw("1.bb", 9, true);
  outbox.rejected("1.bb", value("b"));
  ASSERT_TRUE(outbox.put("1.bb", value("b again")));
  EXPECT_EQ(outbox.revisionOf("1.bb"), 9u);

  // This node's own shutdown, confirmed: its key is forgotten too, whichever came first.
  ASSERT_TRUE(outbox.put("1.cc", tombstone()));
  outbox.saw("1.cc", 10, true);
  outbox.confirmed("1.cc", tombstone(), 10);
  outbox.confirmed("1.bb", value("b again"), 11);
  outbox.confirmed("1.aa", value("again, refreshed"), 12);
  EXPECT_EQ(outbox.size(), 0u);
  ASSERT_TRUE(outbox.put("1.cc", value("c")));
  EXPECT_EQ(outbox.revisionOf("1.cc"), kUnknownRevision);
  ASSERT_TRUE(outbox.put("1.bb", value("b last")));
  EXPECT_EQ(outbox.revisionOf("1.bb"), 11u);

  // Kept across a restart as not known: the next catch-up tells it.
  ASSERT_TRUE(flush());
  Outbox again(env, path, 3);
  EXPECT_EQ(again.load(), "");
  again.saw("1.cc", 10, true);
  again.caughtUp();
  EXPECT_EQ(again.revisionOf("1.cc"), 10u);
}


// A full outbox is worth one warning each time it fills, however many changes it refuses then.
TEST_F(OutboxTest, AFullOutboxIsToBeSaidOnceEachTimeItFills) {
  for (const char* key : {"1.aa", "1.bb", "1.cc"}) ASSERT_TRUE(outbox.put(key, value("v")));
  EXPECT_FALSE(outbox.refusalToSay());
  EXPECT_FALSE(outbox.put("1.dd", value("d")));
  EXPECT_TRUE(outbox.refusalToSay());
  EXPECT_FALSE(outbox.put("1.ee", value("e")));
  EXPECT_FALSE(outbox.refusalToSay());

  outbox.confirmed("1.aa", value("v"), 3);
  ASSERT_TRUE(outbox.put("1.dd", value("d")));
  EXPECT_FALSE(outbox.put("1.ee", value("e")));
  EXPECT_TRUE(outbox.refusalToSay());
}


// Entries that come and go leave the file growing by appends until it holds more than twice what
// the outbox does (past a floor of a megabyte); then a flush writes it anew, small.
TEST_F(OutboxTest, TheFileIsRewrittenOnceMostOfWhatItHoldsIsGone) {
  outbox.caughtUp();
  const Bytes big(60 * 1024, 'x');
  ASSERT_TRUE(outbox.put("1.aa", big));
  std::uintmax_t largest = 0;
  for (std::uint64_t revision = 1; revision <= 30; ++revision) {
    ASSERT_TRUE(outbox.put("1.bb", big));
    ASSERT_TRUE(flush());
    outbox.confirmed("1.bb", big, revision);
    ASSERT_TRUE(flush());
    largest = std::max(largest, std::filesystem::file_size(path));
  }
  EXPECT_GT(largest, std::uintmax_t{1} << 20);  // appended past the floor
  EXPECT_LT(std::filesystem::file_size(path), largest);
  EXPECT_LT(std::filesystem::file_size(path), (std::uintmax_t{1} << 20) + 4 * big.size());
  EXPECT_EQ(reloaded().size(), 1u);
}

}  // namespace
}  // namespace dirserver
