// The change path on its own: a fake saver, a clock the test moves, changes made straight to the
// registry; no socket.
#include "server/change_path.h"

#include <gtest/gtest.h>

#include "registry/server_key.h"
#include "support/loopback.h"

namespace dirserver {
namespace {

using namespace std::chrono_literals;
using testing::hostStrings;
using testing::RecordingSaver;

constexpr std::string_view kMelee = "/Aviantorvale/Melee Game";

class Path {
 public:
  explicit Path(std::uint64_t logBytes = 0, bool checkpointOwed = false, SavePolicy policy = {})
      : reactor(clock), path(reactor, t.context, saver, status, policy) {
    add("Loaded");  // what loading put in is no change
    path.attach(logBytes, checkpointOwed);
    pump();
  }

  void pump() {
    while (reactor.runOnce(SteadyClock::duration::zero())) {
    }
  }
  void advance(SteadyClock::duration by) {
    clock.advance(by);
    pump();
  }

  ServerRecord record(std::string_view name) const {
    return testing::makeRecord(hostStrings(kMelee, name), static_cast<std::int32_t>(t.now));
  }
  void add(std::string_view name) {
    const ServerRecord host = record(name);
    t.context.registry.insert(ServerType::Melee, computeServerKey(host.fields), host);
  }
  // A change of `origin` made in a pass of its own, as a request would make it.
  void change(std::string_view name, ChangeOrigin origin = ChangeOrigin::Request) {
    path.change(origin, [&] { add(name); });
    pump();
  }

  void finishCommit(bool ok, std::uint64_t logBytes = 1000) {
    CommitReport report;
    report.ok = ok;
    report.batch = saver.appends.empty() ? 0 : saver.appends.back().first;
    report.took = 2ms;
    report.logBytes = logBytes;
    if (!ok) report.error = "write server_list.wal.1: No space left on device";
    path.commitFinished(report);
    pump();
  }
  void finishCheckpoint(SaveOutcome outcome, std::uint64_t logBytes = 48) {
    CheckpointReport report;
    report.outcome = outcome;
    report.took = 10ms;
    report.logBytes = logBytes;
    path.checkpointFinished(report);
    pump();
  }

  testing::TestContext t;
  SettableClock clock;
  Reactor reactor;
  RecordingSaver saver;
  ServerStatus status;
  ChangePath path;
};

TEST(ChangePath, ChangesAreConsumedWithTheirOriginPublishedAndLoggedOneBatchPerPass) {
  Path p;
  const ServerStats& stats = p.status.stats;
  // What loading left is published, and neither logged nor consumed.
  ASSERT_NE(p.path.published(), nullptr);
  EXPECT_EQ(p.path.published()->registry->totalCount(), 1u);
  EXPECT_EQ(p.status.snapshots.latest()->totalCount(), 1u);
  std::vector<std::pair<std::size_t, ChangeOrigin>> consumed;
  p.path.addConsumer([&](std::span<const HostChange> changes, ChangeOrigin origin) {
    consumed.emplace_back(changes.size(), origin);
  });
  // A change that changes nothing is no change.
  p.path.change(ChangeOrigin::Request, [] {});
  p.pump();
  EXPECT_TRUE(consumed.empty());
  EXPECT_TRUE(p.saver.appends.empty());
  // Changes of one pass, whatever their origin, are one batch, handed over when the pass ends;
  // each reaches the consumers with its own origin, and a list asked for meanwhile holds them.
  p.path.change(ChangeOrigin::Request, [&] { p.add("Ann"); });
  p.path.change(ChangeOrigin::Replicated, [&] {
    p.add("Bob");
    p.add("Cid");
  });
  EXPECT_EQ(p.path.published()->registry->totalCount(), 1u);
  EXPECT_EQ(p.path.current()->registry->totalCount(), 4u);
  EXPECT_TRUE(p.saver.appends.empty());
  p.advance(100ms);
  ASSERT_EQ(p.saver.appends.size(), 1u);
  EXPECT_EQ(p.saver.appends[0].second.size(), 3u);
  EXPECT_EQ(consumed, (std::vector<std::pair<std::size_t, ChangeOrigin>>{
                          {1, ChangeOrigin::Request}, {2, ChangeOrigin::Replicated}}));
  EXPECT_TRUE(stats.savePending);
  EXPECT_EQ(stats.changesPending, 3u);
  p.finishCommit(true);
  EXPECT_FALSE(stats.savePending);
  EXPECT_EQ(stats.changesPending, 0u);
  EXPECT_EQ(stats.commitsDone, 1u);
  EXPECT_EQ(stats.ackToDurable.count(), 3u);
  EXPECT_NEAR(stats.ackToDurable.sumSeconds(), 3 * 0.1, 1e-9);
  // An operator's removal is a change like any other, with its own origin.
  EXPECT_EQ(p.path.removeHosts([](ServerType, const HostEntry&) { return true; }), 4u);
  p.pump();
  EXPECT_EQ(consumed.back(), std::make_pair(std::size_t{4}, ChangeOrigin::Operator));
  ASSERT_EQ(p.saver.appends.size(), 2u);
  EXPECT_EQ(p.saver.appends[1].second.at(0).kind, HostChange::Kind::Removed);
  EXPECT_EQ(p.status.snapshots.latest()->totalCount(), 0u);
}

TEST(ChangePath, AFailedCommitSaysSoOnceAndIsRetriedOnATimerWithBackoff) {
  Path p;
  const ServerStats& stats = p.status.stats;
  p.change("Ann");
  p.finishCommit(false);
  const std::string line =
      "- could not save server list changes (write server_list.wal.1: No space left on "
      "device): they wait in memory and are tried again\n";
  EXPECT_EQ(p.t.console.err(), line);
  EXPECT_TRUE(stats.lastCommitFailed);
  EXPECT_TRUE(stats.savePending);
  p.advance(999ms);
  EXPECT_EQ(p.saver.retries, 0);
  p.advance(1ms);
  EXPECT_EQ(p.saver.retries, 1);
  // A second failure in a row: no new line, twice the pause.
  p.change("Bob");
  p.finishCommit(false);
  p.advance(1999ms);
  EXPECT_EQ(p.saver.retries, 1);
  p.advance(1ms);
  EXPECT_EQ(p.saver.retries, 2);
  p.finishCommit(true);
  EXPECT_EQ(p.t.console.err(), line + "- server list changes saved again after 2 failed attempts\n");
  EXPECT_FALSE(stats.lastCommitFailed);
  EXPECT_FALSE(stats.savePending);
  EXPECT_EQ(stats.ackToDurable.count(), 2u);
  EXPECT_EQ(stats.commitsFailed, 2u);
  EXPECT_EQ(stats.errors[static_cast<int>(ConsoleError::CommitFailed)], 1u);
  // Past the longest pause, the pause stops growing.
  SavePolicy policy;
  EXPECT_EQ(policy.retryDelay(6), 32s);
  EXPECT_EQ(policy.retryDelay(7), 60s);
  EXPECT_EQ(policy.retryDelay(40), 60s);
}

TEST(ChangePath, ACheckpointFollowsWhenTheLogOutgrowsItsShareAndIsRetriedAfterAFailure) {
  Path p;
  p.change("Ann");
  // A log of under 1 MiB (a quarter of the list's size is far less) calls for no snapshot.
  p.finishCommit(true, (1 << 20) - 1);
  EXPECT_TRUE(p.saver.snapshots.empty());
  p.change("Bob");
  p.finishCommit(true, 1 << 20);
  ASSERT_EQ(p.saver.snapshots.size(), 1u);
  EXPECT_EQ(p.saver.snapshots[0]->totalCount(), 3u);
  EXPECT_FALSE(p.saver.lastCheckpoint);
  // Changes meanwhile are logged; no second snapshot while one is in flight.
  p.change("Cid");
  EXPECT_EQ(p.saver.appends.size(), 3u);
  p.finishCommit(true, 2 << 20);
  EXPECT_EQ(p.saver.snapshots.size(), 1u);
  p.finishCheckpoint(SaveOutcome::Failed, 2 << 20);
  EXPECT_EQ(p.t.console.err(), "- could not save server list\n");
  EXPECT_TRUE(p.status.stats.lastSaveFailed);
  p.advance(999ms);
  EXPECT_EQ(p.saver.snapshots.size(), 1u);
  p.advance(1ms);
  ASSERT_EQ(p.saver.snapshots.size(), 2u);
  EXPECT_EQ(p.saver.snapshots[1]->totalCount(), 4u);
  p.finishCheckpoint(SaveOutcome::Saved);
  EXPECT_EQ(p.status.stats.savesDone, 1u);
  EXPECT_FALSE(p.status.stats.lastSaveFailed);
  p.advance(1h);
  EXPECT_EQ(p.saver.snapshots.size(), 2u);
  // The operator's snapshot starts at once, and right after the one in flight when there is one.
  std::vector<std::pair<SaveOutcome, std::uint32_t>> done;
  const auto ask = [&] {
    p.path.checkpointNow([&](SaveOutcome outcome, std::uint32_t hosts) {
      done.emplace_back(outcome, hosts);
    });
  };
  ask();
  ASSERT_EQ(p.saver.snapshots.size(), 3u);
  p.change("Dan");
  ask();
  EXPECT_EQ(p.saver.snapshots.size(), 3u);
  p.finishCheckpoint(SaveOutcome::Saved);
  ASSERT_EQ(p.saver.snapshots.size(), 4u);
  EXPECT_EQ(p.saver.snapshots[3]->totalCount(), 5u);
  p.finishCheckpoint(SaveOutcome::NotDurable);
  EXPECT_EQ(done, (std::vector<std::pair<SaveOutcome, std::uint32_t>>{
                      {SaveOutcome::Saved, 4}, {SaveOutcome::NotDurable, 5}}));
  // After a start that replayed logs, one starts at once, holding what loading left.
  Path restarted(5000, true);
  ASSERT_EQ(restarted.saver.snapshots.size(), 1u);
  EXPECT_EQ(restarted.saver.snapshots[0]->totalCount(), 1u);
  EXPECT_TRUE(restarted.saver.appends.empty());
}

TEST(ChangePath, TheStopWritesALastCheckpointThatHoldsEveryChange) {
  {
    Path p;
    p.path.stop();
    EXPECT_TRUE(p.reactor.stopping());  // no log, no change: nothing to write
    EXPECT_TRUE(p.saver.snapshots.empty());
  }
  Path p;
  p.change("Ann");
  p.finishCommit(true, 1 << 20);  // a snapshot starts
  ASSERT_EQ(p.saver.snapshots.size(), 1u);
  p.change("Bob");
  EXPECT_EQ(p.saver.hurries, 0);
  p.path.stop();
  p.pump();
  EXPECT_FALSE(p.reactor.stopping());
  EXPECT_EQ(p.saver.hurries, 1);  // the stop waits for it: it goes at full speed from now on
  // The snapshot in flight lacks Bob: the last one starts as soon as it ends, with no pause, even
  // after a failure.
  p.finishCheckpoint(SaveOutcome::Failed);
  ASSERT_EQ(p.saver.snapshots.size(), 2u);
  EXPECT_EQ(p.saver.snapshots[1]->totalCount(), 3u);
  EXPECT_TRUE(p.saver.lastCheckpoint);
  EXPECT_EQ(p.saver.appends.size(), 2u);  // Bob's batch went before it
  EXPECT_FALSE(p.reactor.stopping());
  p.finishCheckpoint(SaveOutcome::Saved);
  EXPECT_TRUE(p.reactor.stopping());
  EXPECT_TRUE(p.path.stoppedClean());

  // A failed last snapshot leaves the log, and the stop says so.
  Path failing(100, false);
  failing.path.stop();
  ASSERT_EQ(failing.saver.snapshots.size(), 1u);
  failing.finishCheckpoint(SaveOutcome::Failed);
  EXPECT_TRUE(failing.reactor.stopping());
  EXPECT_FALSE(failing.path.stoppedClean());
}

}  // namespace
}  // namespace dirserver
