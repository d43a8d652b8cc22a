// The outbox file: what a reader makes of records, of a torn tail and of damage, and what a power
// loss at any step of appends and rewrites leaves.
#include "persist/outbox_file.h"

#include <gtest/gtest.h>

#include "persist/power_loss_env.h"
#include "support/recording_env.h"
#include "support/test_support.h"

namespace dirserver {
namespace {

constexpr char kDir[] = "/outbox";
constexpr char kPath[] = "/outbox/cluster_outbox";

Bytes value(const std::string& text) { return Bytes(text.begin(), text.end()); }

OutboxRecord put(const std::string& key, std::uint64_t revision, const std::string& text) {
  return {OutboxRecord::Kind::Put, key, revision, value(text)};
}
OutboxRecord drop(const std::string& key) { return {OutboxRecord::Kind::Drop, key, 0, {}}; }
OutboxRecord revise(const std::string& key, std::uint64_t revision) {
  return {OutboxRecord::Kind::Revise, key, revision, {}};
}

Bytes fileOf(const std::vector<OutboxRecord>& records) {
  Bytes bytes(kOutboxMagic, kOutboxMagic + kOutboxMagicSize);
  putU32(bytes, kOutboxVersion);
  for (const OutboxRecord& record : records) putBytes(bytes, encodeOutboxRecord(record));
  return bytes;
}

TEST(OutboxFile, RecordsReplayToTheLatestValuePerKey) {
  const OutboxLoad load = decodeOutbox(
      fileOf({put("1.aa", 4, "first"), put("1.bb", 0, "gone"), put("1.aa", 4, "second"),
              drop("1.bb"), revise("1.aa", 9), revise("1.cc", 3)}));
  EXPECT_EQ(load.damage, "");
  const OutboxEntries expected{{"1.aa", {9, value("second")}}};
  EXPECT_EQ(load.entries, expected);
}

TEST(OutboxFile, ATornTailIsIgnoredAndDamageStopsTheReadingWithWhatCameBefore) {
  const Bytes whole = fileOf({put("1.aa", 1, "kept"), put("1.bb", 2, "last")});
  // A crash in the middle of the last append: never synced, so never acknowledged.
  for (std::size_t cut = 1; cut < encodeOutboxRecord(put("1.bb", 2, "last")).size(); ++cut) {
    const OutboxLoad load = decodeOutbox(ByteView(whole).first(whole.size() - cut));
    EXPECT_EQ(load.damage, "") << cut;
    EXPECT_EQ(load.entries.size(), 1u) << cut;
  }
  // A changed byte in the first record: nothing after it can be trusted.
  Bytes damaged = whole;
  damaged[kOutboxHeaderBytes + 6] ^= 0x20;
  const OutboxLoad load = decodeOutbox(damaged);
  EXPECT_EQ(load.damage.rfind("checksum mismatch at byte 12: ", 0), 0u) << load.damage;
  EXPECT_TRUE(load.entries.empty());

  EXPECT_EQ(decodeOutbox(value("DSOWNERS\1\0\0\0")).damage, "not an outbox file of this version");

  // A damaged length that runs past the end is damage too, not a tail still being written.
  Bytes longLength = whole;
  longLength[kOutboxHeaderBytes + 3] = 0x80;
  const OutboxLoad past = decodeOutbox(longLength);
  EXPECT_EQ(past.damage.rfind("impossible record length 2147483", 0), 0u) << past.damage;
  EXPECT_TRUE(past.entries.empty());
}

// Appends and rewrites, a power loss after every step: what the directory holds then loads to
// the entries after the last batch reported written, or to those after a batch not yet reported
// (its sync was done, its report not yet).
TEST(OutboxFile, APowerLossAtAnyStepKeepsEveryBatchReportedWritten) {
  const std::vector<std::vector<OutboxRecord>> batches = {
      {put("1.aa", 0, "a1"), put("1.bb", 0, "b1")},
      {put("1.aa", 0, "a2"), drop("1.bb")},
      {},  // the rewrite
      {revise("1.aa", 7), put("1.cc", 3, "c1")},
  };
  std::vector<OutboxEntries> after(1);
  for (const auto& batch : batches) {
    after.push_back(after.back());
    for (const OutboxRecord& record : batch) applyRecord(after.back(), record);
  }

  testing::PowerLossEnv env(kDir);
  std::size_t reported = 0;
  int steps = 0;
  env.onStep([&](const std::string& step, const testing::PowerLossEnv::Image& image, bool) {
    ++steps;
    const auto file = image.find("cluster_outbox");
    const OutboxEntries held =
        file == image.end() ? OutboxEntries{} : decodeOutbox(file->second).entries;
    EXPECT_TRUE(held == after[reported] || held == after[reported + 1])
        << "after " << step << " with " << reported << " batches reported";
  });
  OutboxFile file(env, kPath);
  std::string error;
  ASSERT_TRUE(file.rewrite({}, error)) << error;
  for (std::size_t i = 0; i < batches.size(); ++i) {
    const bool ok =
        batches[i].empty() ? file.rewrite(after[i + 1], error) : file.append(batches[i], error);
    ASSERT_TRUE(ok) << error;
    reported = i + 1;
  }
  EXPECT_GT(steps, 8);
  EXPECT_EQ(decodeOutbox(env.afterPowerLoss().at("cluster_outbox")).entries, after.back());
}

TEST(OutboxFile, AFailedSyncLeavesAppendsToARewrite) {
  testing::TestContext t;
  testing::RecordingEnv env;
  const std::string path = (t.dir / "cluster_outbox").string();
  OutboxFile file(env, path);
  std::string error;
  ASSERT_TRUE(file.rewrite({}, error));
  env.fail("fdatasync cluster_outbox");
  EXPECT_FALSE(file.append({put("1.aa", 0, "a1")}, error));
  EXPECT_EQ(error, "fdatasync cluster_outbox: Input/output error");
  // The tail the failed sync left cannot be trusted: nothing is appended after it.
  EXPECT_FALSE(file.append({put("1.bb", 0, "b1")}, error));
  const OutboxEntries both{{"1.aa", {0, value("a1")}}, {"1.bb", {0, value("b1")}}};
  ASSERT_TRUE(file.rewrite(both, error)) << error;
  EXPECT_EQ(loadOutbox(env, path).entries, both);
  EXPECT_EQ(readBucketId(env, (t.dir / "none").string()), "");
  ASSERT_TRUE(writeBucketId(env, (t.dir / "id").string(), "0123abcd", error));
  EXPECT_EQ(readBucketId(env, (t.dir / "id").string()), "0123abcd");
}

}  // namespace
}  // namespace dirserver
