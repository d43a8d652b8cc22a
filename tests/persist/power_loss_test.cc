// Power losses at every step of the persistence sequences: commits, a new log, snapshots and their
// renames, a failed sync of the log and of the directory, retries, and a start that replays the
// logs. Whatever a power loss leaves must load to the registry after the first k changes, k at
// least the last change reported durable before it.

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "persist/list_loader.h"
#include "persist/list_saver.h"
#include "persist/power_loss_env.h"
#include "registry/server_key.h"
#include "support/test_support.h"

namespace dirserver {
namespace {

using testing::PowerLossEnv;

constexpr char kDir[] = "/power";
constexpr PeerAddress kOwnerA = 0x0100000A;
constexpr PeerAddress kOwnerB = 0x0200000A;

ServerRecord host(const std::string& name, std::int32_t time) {
  return testing::makeRecord({"/Aviantorvale/Melee Game", "10.0.0.1", name, "a", "b", "c", "d"}, time);
}

bool same(const ServerRegistry& a, const ServerRegistry& b) {
  for (ServerType type : kServerTypes) {
    if (a.size(type) != b.size(type)) return false;
    for (auto x = a.begin(type), y = b.begin(type); x != a.end(type); ++x, ++y) {
      if (!(*x == *y) || x->from != y->from || x->id != y->id) return false;
    }
  }
  return true;
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

Start startOn(const PowerLossEnv::Image& files, const History& history, std::size_t from) {
  PowerLossEnv env(kDir, files);
  testing::CapturedConsole console;
  ServerContext context;
  context.console = console.console();
  SettableClock clock(1'700'000'000);
  context.clock = &clock;
  context.listFile = std::string(kDir) + "/server_list.dat";
  const LoadResult loaded = loadServerList(context, env);
  Start start;
  start.readable = loaded.readable;
  start.err = console.err();
  for (std::size_t k = from; k <= history.changes(); ++k) {
    if (same(context.registry, history.after(k))) {
      start.changes = static_cast<long long>(k);
      break;
    }
  }
  return start;
}

// A saver over `env` whose reports the test waits for; keeps the last change reported durable.
class SaverRun {
 public:
  SaverRun(PowerLossEnv& env, const History& history, const LoadResult& loaded,
      std::atomic<std::size_t>& durable)
      : history_(history),
        durable_(durable),
        saver_(std::make_unique<ListSaver>(
            std::string(kDir) + "/server_list.dat", loaded,
            [this](const CommitReport& report) {
              std::lock_guard lock(mutex_);
              if (report.ok) durable_ = std::max<std::size_t>(durable_, history_.lastChangeOf(report.batch));
              ++commits_;
              lastOk_ = report.ok;
              done_.notify_all();
            },
            [this](const CheckpointReport& report) {
              std::lock_guard lock(mutex_);
              ++checkpoints_;
              lastCheckpoint_ = report.outcome;
              done_.notify_all();
            },
            env)) {}

  // Hands batch `number` over and waits for its commit's report; yields whether it was durable.
  bool commit(std::uint64_t number) {
    const int before = commitsSoFar();
    saver_->append(number, history_.batch(number));
    return awaitCommit(before);
  }
  bool retry() {
    const int before = commitsSoFar();
    saver_->retry();
    return awaitCommit(before);
  }
  SaveOutcome checkpoint(std::uint64_t afterBatch, bool last) {
    std::unique_lock lock(mutex_);
    const int before = checkpoints_;
    lock.unlock();
    saver_->checkpoint(history_.stateAfter(afterBatch), last);
    lock.lock();
    done_.wait(lock, [&] { return checkpoints_ > before; });
    return lastCheckpoint_;
  }
  void stop() { saver_.reset(); }

 private:
  // Counted before the work is handed over: the report may come before the wait begins.
  int commitsSoFar() {
    std::lock_guard lock(mutex_);
    return commits_;
  }
  bool awaitCommit(int before) {
    std::unique_lock lock(mutex_);
    done_.wait(lock, [&] { return commits_ > before; });
    return lastOk_;
  }

  const History& history_;
  std::atomic<std::size_t>& durable_;
  std::mutex mutex_;
  std::condition_variable done_;
  int commits_ = 0, checkpoints_ = 0;
  bool lastOk_ = false;
  SaveOutcome lastCheckpoint_ = SaveOutcome::Failed;
  std::unique_ptr<ListSaver> saver_;
};

LoadResult load(PowerLossEnv& env) {
  testing::CapturedConsole console;
  ServerContext context;
  context.console = console.console();
  context.listFile = std::string(kDir) + "/server_list.dat";
  return loadServerList(context, env);
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
  std::string trail, lastCall;  // the calls so far, for the message of a failure
  int repeats = 0;
  // Loads what a power loss leaves only when that changed: in between, only what was reported
  // durable can have grown.
  Start start;
  const auto check = [&](const std::string& call, const PowerLossEnv::Image& image, bool changed) {
    ++steps;
    // Repeats of one call (a log's room written page by page) as one line.
    if (call == lastCall) {
      ++repeats;
    } else {
      if (repeats > 0) trail += "  (" + std::to_string(repeats + 1) + " times)\n";
      trail += call + "\n";
      lastCall = call;
      repeats = 0;
    }
    const std::size_t reported = durable;
    if (changed) start = startOn(image, history, 0);
    ASSERT_TRUE(start.readable) << trail;
    EXPECT_GE(start.changes, static_cast<long long>(reported)) << trail << start.err;
    EXPECT_EQ(start.err.find("damaged"), std::string::npos) << trail << start.err;
  };
  env.onStep(check);

  {
    SaverRun run(env, history, load(env), durable);
    ASSERT_TRUE(run.commit(first));
    ASSERT_TRUE(run.commit(second));
    ASSERT_EQ(run.checkpoint(second, false), SaveOutcome::Saved);
    ASSERT_TRUE(run.commit(third));
    // The log's sync fails: what it held goes to a new log, whose creation fails at the directory's
    // sync the first time.
    env.failNext("fdatasync", "server_list.wal.");
    ASSERT_FALSE(run.commit(fourth));
    env.failNext("fsync", ".");
    ASSERT_FALSE(run.retry());
    ASSERT_TRUE(run.retry());
    EXPECT_EQ(durable, history.lastChangeOf(fourth));
    ASSERT_TRUE(run.commit(fifth));
    // A snapshot whose rename cannot be made durable: the logs before it must stay.
    env.failNext("fsync", ".", 1);
    ASSERT_EQ(run.checkpoint(fifth, false), SaveOutcome::NotDurable);
    ASSERT_TRUE(run.commit(sixth));
    ASSERT_EQ(run.checkpoint(sixth, false), SaveOutcome::Saved);
    // A commit that fails and is never retried: the stop reports it lost.
    env.failNext("fdatasync", "server_list.wal.");
    ASSERT_FALSE(run.commit(seventh));
    run.stop();
  }
  const std::size_t kept = durable;
  EXPECT_EQ(kept, history.lastChangeOf(sixth));
  // What was reported lost does not come back after a power loss.
  EXPECT_EQ(startOn(env.afterPowerLoss(), history, 0).changes, static_cast<long long>(kept));

  // A start that replays whatever the files hold, and goes on with the changes it missed.
  {
    const PowerLossEnv::Image files = env.afterPowerLoss();
    PowerLossEnv next(kDir, files);
    next.onStep(check);
    const LoadResult loaded = load(next);
    ASSERT_EQ(loaded.lastChange, kept);
    SaverRun run(next, history, loaded, durable);
    ASSERT_TRUE(run.commit(seventh));
    ASSERT_TRUE(run.commit(eighth));
    ASSERT_EQ(run.checkpoint(eighth, true), SaveOutcome::Saved);
    run.stop();
    EXPECT_EQ(startOn(next.files(), history, 0).changes, static_cast<long long>(history.changes()));
  }
  EXPECT_EQ(durable, history.changes());
  EXPECT_GE(steps, 60u);
}

}  // namespace
}  // namespace dirserver
