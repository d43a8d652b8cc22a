// Power losses at every step of the persistence sequences: commits, a new log, snapshots and their
// renames, a failed sync of the log and of the directory, retries, and a start that replays the
// logs. Whatever a power loss leaves must load to the registry after the first k changes, k at
// least the last change reported durable before it.

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>

#include "persist/list_loader.h"
#include "persist/list_saver.h"
#include "persist/power_loss_env.h"
#include "registry/server_key.h"
#include "support/saving.h"
#include "support/test_support.h"

namespace dirserver {
namespace {

using testing::PowerLossEnv;

constexpr char kDir[] = "/power";
constexpr char kList[] = "/power/server_list.dat";
constexpr PeerAddress kOwnerA = 0x0100000A;
constexpr PeerAddress kOwnerB = 0x0200000A;

ServerRecord host(const std::string& name, std::int32_t time) {
  return testing::makeRecord({"/Aviantorvale/Melee Game", "10.0.0.1", name, "a", "b", "c", "d"}, time);
}

// The registry after each change of a run, and the changes in the batches the saver is handed.
class History {
 public:
  History() { states_.push_back(registry_); }

  void add(const std::string& name, std::int32_t time, PeerAddress owner) {
    ServerRecord record = host(name, time);
    const ServerKey key = computeServerKey(record.fields);
    registry_.insert(ServerType::Melee, key, std::move(record), owner);
    record_();
  }
  void refresh(const std::string& name, std::int32_t time, PeerAddress owner) {
    ServerRecord record = host(name, time);
    const auto at = registry_.find(ServerType::Melee, computeServerKey(record.fields), record.fields);
    registry_.replace(ServerType::Melee, at, std::move(record), owner);
    record_();
  }
  void remove(const std::string& name) {
    const ServerRecord record = host(name, 0);
    registry_.erase(ServerType::Melee, computeServerKey(record.fields), record.fields);
    record_();
  }
  // Ends the batch begun after the last one: its number, from 1.
  std::uint64_t endBatch() {
    batches_.push_back(std::move(pending_));
    pending_.clear();
    batchEnds_.push_back(states_.size() - 1);
    return batches_.size();
  }

  const std::vector<HostChange>& batch(std::uint64_t number) const { return batches_[number - 1]; }
  // The number of the last change of batch `number` (0: none).
  std::uint64_t lastChangeOf(std::uint64_t number) const {
    return number == 0 ? 0 : batchEnds_[number - 1];
  }
  SnapshotPtr stateAfter(std::uint64_t number) const {
    return std::make_shared<RegistrySnapshot>(states_[lastChangeOf(number)].snapshot());
  }
  std::size_t changes() const { return states_.size() - 1; }
  const ServerRegistry& after(std::size_t changes) const { return states_[changes]; }

 private:
  void record_() {
    for (HostChange& change : registry_.takeChanges()) pending_.push_back(std::move(change));
    states_.push_back(registry_);
  }

  ServerRegistry registry_;
  std::vector<ServerRegistry> states_;
  std::vector<HostChange> pending_;
  std::vector<std::vector<HostChange>> batches_;
  std::vector<std::size_t> batchEnds_;
};

// What a start finds in `files`: the number of changes whose registry it loads (-1: none of
// them), and what it printed.
struct Start {
  long long changes = -1;
  bool readable = false;
  std::string err;
};

Start startOn(const PowerLossEnv::Image& files, const History& history) {
  PowerLossEnv env(kDir, files);
  testing::TestContext t;
  t.context.listFile = kList;
  Start start;
  start.readable = loadServerList(t.context, env).readable;
  start.err = t.console.err();
  for (std::size_t k = 0; k <= history.changes(); ++k) {
    if (testing::sameOwners(t.context.registry, history.after(k))) {
      start.changes = static_cast<long long>(k);
      break;
    }
  }
  return start;
}

TEST(PowerLoss, AtEveryStepTheFilesLoadToEveryChangeReportedDurableAndNoLaterOne) {
  History history;
  history.add("A", 1'000, kOwnerA);
  history.add("B", 1'000, kOwnerA);
  const auto first = history.endBatch();
  history.refresh("A", 2'000, kOwnerA);
  history.add("C", 2'000, kOwnerB);
  const auto second = history.endBatch();
  history.refresh("B", 3'000, kOwnerB);
  history.remove("C");
  const auto third = history.endBatch();
  history.add("D", 4'000, kOwnerA);
  const auto fourth = history.endBatch();
  history.refresh("D", 5'000, kOwnerB);
  const auto fifth = history.endBatch();
  history.add("E", 6'000, kOwnerA);
  history.remove("A");
  const auto sixth = history.endBatch();
  history.refresh("E", 7'000, kOwnerA);
  history.add("F", 7'000, kOwnerB);
  const auto seventh = history.endBatch();
  history.refresh("F", 8'000, kOwnerA);
  const auto eighth = history.endBatch();

  PowerLossEnv env(kDir);
  std::atomic<std::size_t> durable{0};
  std::size_t steps = 0;
  std::string trail, lastCall;  // the calls so far (repeats once), for the message of a failure
  // Loads what a power loss leaves only when that changed: in between, only what was reported
  // durable can have grown.
  Start start;
  const auto check = [&](const std::string& call, const PowerLossEnv::Image& image, bool changed) {
    ++steps;
    if (call != lastCall) trail += call + "\n";
    lastCall = call;
    const std::size_t reported = durable;
    if (changed) start = startOn(image, history);
    ASSERT_TRUE(start.readable) << trail;
    EXPECT_GE(start.changes, static_cast<long long>(reported)) << trail << start.err;
    EXPECT_EQ(start.err.find("damaged"), std::string::npos) << trail << start.err;
  };
  env.onStep(check);
  // A saver over `files`, going on from `loaded`, that keeps the last change reported durable.
  const auto saverOn = [&](testing::TestContext& t, PowerLossEnv& files, const LoadResult& loaded) {
    auto saving = std::make_unique<testing::Saving>(t, files, loaded);
    saving->onCommit = [&](const CommitReport& report) {
      if (report.ok) durable = std::max<std::size_t>(durable, history.lastChangeOf(report.batch));
    };
    return saving;
  };
  testing::TestContext t, again;
  t.context.listFile = again.context.listFile = kList;

  {
    const auto run = saverOn(t, env, loadServerList(t.context, env));
    const auto commit = [&](std::uint64_t batch) { return run->commit(batch, history.batch(batch)).ok; };
    ASSERT_TRUE(commit(first));
    ASSERT_TRUE(commit(second));
    ASSERT_EQ(run->checkpoint(history.stateAfter(second)).outcome, SaveOutcome::Saved);
    ASSERT_TRUE(commit(third));
    // The log's sync fails: what it held goes to a new log, whose creation fails at the directory's
    // sync the first time.
    env.failNext("fdatasync", "server_list.wal.");
    ASSERT_FALSE(commit(fourth));
    env.failNext("fsync", ".");
    const CommitReport unsynced = run->retry();
    ASSERT_FALSE(unsynced.ok);
    EXPECT_TRUE(unsynced.error.starts_with("sync the directory of ")) << unsynced.error;
    ASSERT_TRUE(run->retry().ok);
    EXPECT_EQ(durable, history.lastChangeOf(fourth));
    ASSERT_TRUE(commit(fifth));
    // A snapshot whose rename cannot be made durable: the logs before it must stay.
    env.failNext("fsync", ".", 1);
    const CheckpointReport notDurable = run->checkpoint(history.stateAfter(fifth));
    ASSERT_EQ(notDurable.outcome, SaveOutcome::NotDurable);
    EXPECT_TRUE(notDurable.error.starts_with("sync the directory of ")) << notDurable.error;
    ASSERT_TRUE(commit(sixth));
    ASSERT_EQ(run->checkpoint(history.stateAfter(sixth)).outcome, SaveOutcome::Saved);
    // A commit that fails and is never retried: the stop reports it lost.
    env.failNext("fdatasync", "server_list.wal.");
    ASSERT_FALSE(commit(seventh));
    run->stop();
  }
  const std::size_t kept = durable;
  EXPECT_EQ(kept, history.lastChangeOf(sixth));
  // What was reported lost does not come back after a power loss.
  EXPECT_EQ(startOn(env.afterPowerLoss(), history).changes, static_cast<long long>(kept));

  // A start that replays whatever the files hold, and goes on with the changes it missed.
  {
    PowerLossEnv next(kDir, env.afterPowerLoss());
    next.onStep(check);
    const LoadResult loaded = loadServerList(again.context, next);
    ASSERT_EQ(loaded.lastChange, kept);
    const auto run = saverOn(again, next, loaded);
    ASSERT_TRUE(run->commit(seventh, history.batch(seventh)).ok);
    ASSERT_TRUE(run->commit(eighth, history.batch(eighth)).ok);
    ASSERT_EQ(run->checkpoint(history.stateAfter(eighth), true).outcome, SaveOutcome::Saved);
    run->stop();
    EXPECT_EQ(startOn(next.files(), history).changes, static_cast<long long>(history.changes()));
  }
  EXPECT_EQ(durable, history.changes());
  EXPECT_GE(steps, 60u);
}

}  // namespace
}  // namespace dirserver
