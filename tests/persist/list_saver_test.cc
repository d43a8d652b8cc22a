#include "persist/list_saver.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <filesystem>

#include "persist/list_loader.h"
#include "registry/registration.h"
#include "registry/server_key.h"
#include "support/recording_env.h"
#include "support/saving.h"
#include "support/test_support.h"

namespace dirserver {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::loadAgain;
using testing::Loaded;
using testing::readFile;
using testing::Saving;
using testing::sameOwners;
using testing::hostsOf;
using testing::TestContext;

ServerRecord host(const std::string& name, std::int32_t time = 1'000) {
  return testing::makeRecord({"/Aviantorvale/Melee Game", "10.0.0.1", name, "a", "b", "c", "d"},
                             time);
}

void add(ServerRegistry& registry, ServerType type, const ServerRecord& record, PeerAddress owner) {
  registry.insert(type, computeServerKey(record.fields), record, owner);
}

std::vector<std::string> filesIn(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(ListSaver, CommitsAreDurableAndAnOrderlyStopLeavesOnlyTheListAsAFullSaveWritesIt) {
  TestContext t;
  Saving saving(t, t.env);
  ServerRegistry& registry = t.context.registry;
  for (int i = 0; i < 3; ++i) add(registry, ServerType::Melee, host("H" + std::to_string(i)), 0x0A000001);
  CommitReport report = saving.commit();
  EXPECT_TRUE(report.ok);
  EXPECT_EQ(report.batch, 1u);
  // A whole megabyte is taken ahead of the entries at once, so that commits never grow the file.
  EXPECT_EQ(report.bytesWritten, 1u << 20);
  const auto first = registry.begin(ServerType::Melee);
  ServerRecord refreshed = *first->record;
  refreshed.registrationTime = 2'000;
  registry.replace(ServerType::Melee, first, refreshed, 0x0A000002);
  registry.erase(ServerType::Melee, std::next(registry.begin(ServerType::Melee)));
  report = saving.commit();
  EXPECT_EQ(report.batch, 2u);
  // A kill now loses nothing: the log holds every change, owners included.
  EXPECT_TRUE(sameOwners(loadAgain(t).hosts, hostsOf(registry)));
  EXPECT_EQ(filesIn(t.dir), (std::vector<std::string>{"server_list.wal.1"}));

  // A snapshot begins a new log and removes the old one once the list is in place.
  EXPECT_EQ(saving.checkpoint().outcome, SaveOutcome::Saved);
  EXPECT_EQ(filesIn(t.dir), (std::vector<std::string>{"server_list.dat", "server_list.owners",
                                                      "server_list.wal.2"}));
  add(registry, ServerType::TeamMelee, host("Late"), 0x0A000003);
  saving.commit();
  EXPECT_TRUE(sameOwners(loadAgain(t).hosts, hostsOf(registry)));

  // The stop's snapshot leaves the list and its owners alone, the list byte for byte what a
  // full save of the registry writes.
  EXPECT_EQ(saving.checkpoint(true).outcome, SaveOutcome::Saved);
  saving.stop();
  EXPECT_EQ(filesIn(t.dir), (std::vector<std::string>{"server_list.dat", "server_list.owners"}));
  TestContext full;
  writeServerList(full.env, registry.snapshot(), listPaths(full.env, full.context.listFile));
  EXPECT_EQ(readFile(t.context.listFile), readFile(full.context.listFile));
  const Loaded again = loadAgain(t);
  EXPECT_TRUE(sameOwners(again.hosts, hostsOf(registry)));
  EXPECT_EQ(again.err, "");
}

TEST(ListSaver, AFailedWriteIsCutBackAndRetried) {
  TestContext t;
  testing::RecordingEnv env(t.clock);
  Saving saving(t, env);
  ServerRegistry& registry = t.context.registry;
  add(registry, ServerType::Melee, host("A"), 0x0A000001);
  ASSERT_TRUE(saving.commit().ok);
  // A write fails: reported, and the log cut back to its last whole entry; the retry writes the
  // change and whatever came meanwhile.
  env.fail("write server_list.wal.1");
  add(registry, ServerType::Melee, host("B"), 0x0A000001);
  CommitReport report = saving.commit();
  EXPECT_FALSE(report.ok);
  EXPECT_EQ(report.error, "write " + t.dir.string() + "/server_list.wal.1: Input/output error");
  EXPECT_EQ(env.calls().back(), "ftruncate server_list.wal.1");
  EXPECT_EQ(loadAgain(t).hosts[1].size(), 1u);  // only what was durable
  add(registry, ServerType::Melee, host("C"), 0x0A000001);
  saving.append();  // nothing is tried while a commit has failed, until the retry
  report = saving.retry();
  EXPECT_TRUE(report.ok);
  EXPECT_EQ(report.batch, 3u);
  EXPECT_TRUE(sameOwners(loadAgain(t).hosts, hostsOf(registry)));
}

// An Env whose steady clock moves only when a file is synced, by as much as the test says: each
// commit then takes that long as the committer measures it.
struct SlowSyncClock {
  SettableClock clock;
};
class SlowSyncEnv final : private SlowSyncClock, public SystemEnv {
 public:
  SlowSyncEnv() : SystemEnv(SlowSyncClock::clock) {}
  void syncTakes(std::chrono::nanoseconds took) { syncTakes_ = took; }
  int fdatasync(int fd) override {
    SlowSyncClock::clock.advance(syncTakes_.load());
    return SystemEnv::fdatasync(fd);
  }

 private:
  std::atomic<std::chrono::nanoseconds> syncTakes_{};
};

// A snapshot's write rate follows the commits the committer measured since the last one: slow
// ones cut it, and the time of quick ones grows it back. The stop's snapshot, and one the stop
// hurries, are not held back at all, however low the rate.
TEST(ListSaver, CheckpointsKeepToARateThatTheCommitsLatencyMovesUnlessHurried) {
  constexpr double kMiB = 1 << 20;
  TestContext t;
  SlowSyncEnv env;
  WriteRateLimits limits;
  limits.floorBytesPerSecond = 64 * kMiB;
  limits.startBytesPerSecond = 1024 * kMiB;
  limits.ceilingBytesPerSecond = 2048 * kMiB;
  limits.increasePerSecond = 64 * kMiB;
  limits.latencyTarget = 2s;
  limits.decreaseSpacing = 0ms;
  {
    Saving saving(t, env, limits);
    ServerRegistry& registry = t.context.registry;
    add(registry, ServerType::Melee, host("A"), 0x0A000001);
    env.syncTakes(5s);
    ASSERT_TRUE(saving.commit().ok);
    EXPECT_DOUBLE_EQ(saving.checkpoint().rate, 512 * kMiB);
    // Commits within the target let the time they took count towards growth.
    env.syncTakes(1s);
    for (int i = 0; i < 2; ++i) {
      add(registry, ServerType::Melee, host("B" + std::to_string(i)), 0x0A000001);
      ASSERT_TRUE(saving.commit().ok);
    }
    const CheckpointReport report = saving.checkpoint();
    EXPECT_GT(report.rate, 512 * kMiB);
    EXPECT_LT(report.rate, 1024 * kMiB);
  }

  // A rate that would take a quarter of an hour for the second megabyte of this list.
  limits.floorBytesPerSecond = limits.startBytesPerSecond = 1024;
  limits.ceilingBytesPerSecond = 2048;
  limits.increasePerSecond = 0;
  t.context.registry = ServerRegistry();
  Saving saving(t, env, limits);
  for (int i = 0; i < 40; ++i) {
    add(t.context.registry, ServerType::Melee, host("D" + std::to_string(i)), 0x0A000002);
  }
  EXPECT_EQ(saving.checkpoint(false, true).outcome, SaveOutcome::Saved);
  const CheckpointReport last = saving.checkpoint(true);
  EXPECT_EQ(last.outcome, SaveOutcome::Saved);
  EXPECT_EQ(last.paced, 0ns);
}

// An Env whose syncs of a log wait while the test holds them, and that counts the writes made.
class HeldSyncEnv final : public SystemEnv {
 public:
  using SystemEnv::SystemEnv;
  void hold() {
    std::lock_guard lock(mutex_);
    held_ = true;
  }
  void release() {
    std::lock_guard lock(mutex_);
    held_ = false;
    changed_.notify_all();
  }
  // Waits, ten seconds at most, until a sync is held and `writes` writes have been made.
  bool waitFor(int writes) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return waiting_ && writes_ >= writes; });
  }
  int writes() {
    std::lock_guard lock(mutex_);
    return writes_;
  }
  ssize_t pwrite(int fd, const void* data, std::size_t size, off_t offset) override {
    const ssize_t done = SystemEnv::pwrite(fd, data, size, offset);
    std::lock_guard lock(mutex_);
    ++writes_;
    changed_.notify_all();
    return done;
  }
  int fdatasync(int fd) override {
    {
      std::unique_lock lock(mutex_);
      waiting_ = held_;
      changed_.notify_all();
      changed_.wait(lock, [&] { return !held_; });
      waiting_ = false;
    }
    return SystemEnv::fdatasync(fd);
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool held_ = false;
  bool waiting_ = false;
  int writes_ = 0;
};

// A batch goes into the log as soon as it is handed over, even while the sync before it is under
// way: a kill of the process then keeps it (the files hold what was written), however long the
// sync takes. It is reported durable only by a sync that began after it was written.
TEST(ListSaver, ABatchIsWrittenWhileTheSyncBeforeItWaitsAndReportedByALaterSync) {
  TestContext t;
  HeldSyncEnv env(t.clock);
  Saving saving(t, env);
  // A failing check must not leave the saver's stop waiting for a held sync.
  const struct Release {
    HeldSyncEnv& env;
    ~Release() { env.release(); }
  } release{env};
  ServerRegistry& registry = t.context.registry;
  add(registry, ServerType::Melee, host("A"), 0x0A000001);
  ASSERT_TRUE(saving.commit().ok);
  env.hold();
  add(registry, ServerType::Melee, host("B"), 0x0A000001);
  saving.append();
  ASSERT_TRUE(env.waitFor(0));
  add(registry, ServerType::Melee, host("C"), 0x0A000002);
  const int before = env.writes();
  saving.append();
  ASSERT_TRUE(env.waitFor(before + 1)) << "the third batch was not written while a sync waited";
  // What a kill now leaves: every host handed over.
  TestContext killed;
  for (const auto& entry : fs::directory_iterator(t.dir)) {
    fs::copy_file(entry.path(), killed.dir / entry.path().filename());
  }
  EXPECT_TRUE(sameOwners(loadAgain(killed).hosts, hostsOf(registry)));
  env.release();
  const CommitReport second = saving.waitCommit();
  EXPECT_TRUE(second.ok);
  EXPECT_EQ(second.batch, 2u);
  const CommitReport third = saving.waitCommit();
  EXPECT_TRUE(third.ok);
  EXPECT_EQ(third.batch, 3u);
}

// A damaged log is evidence: when loading could keep no copy of it (a full disk), the snapshot
// that makes it unneeded moves it aside instead of removing it.
TEST(ListSaver, ADamagedLogWithoutACopyIsMovedAsideNotRemoved) {
  TestContext t;
  {
    Saving saving(t, t.env);
    add(t.context.registry, ServerType::Melee, host("A"), 0x0A000001);
    add(t.context.registry, ServerType::Melee, host("B"), 0x0A000001);
    saving.commit();
  }
  const fs::path log = t.dir / "server_list.wal.1";
  Bytes bytes = readFile(log);
  bytes[kLogHeaderSize + 40] ^= 1;  // inside the first entry
  testing::writeFile(log, bytes);
  t.context.registry = ServerRegistry();
  testing::RecordingEnv env(t.clock);
  env.fail("open server_list.wal.1.damaged-20231114T221320Z new");
  Saving saving(t, env);
  EXPECT_NE(t.console.err().find("could not keep a copy of it (Input/output error)"), std::string::npos)
      << t.console.err();
  EXPECT_EQ(readFile(log), bytes);
  EXPECT_EQ(saving.checkpoint().outcome, SaveOutcome::Saved);
  EXPECT_FALSE(fs::exists(log));
  EXPECT_EQ(readFile(t.dir / "server_list.wal.1.damaged-20231114T221320Z"), bytes);
}

// Freed by the rename, a large list's blocks hold the file system's journal, and the syncs of the
// commits behind it, for a long moment: a paced checkpoint frees the list it replaces in steps
// instead (growing while no change comes), an unpaced one at once. A list that has another name,
// or that a reader still has open, is never cut.
TEST(ListSaver, TheListACheckpointReplacesIsFreedInStepsWhenPacedAndOnlyWhenNobodyElseHoldsIt) {
  TestContext t;
  testing::RecordingEnv env(t.clock);
  Saving saving(t, env);
  add(t.context.registry, ServerType::Melee, host("A"), 0x0A000001);
  ASSERT_TRUE(saving.commit().ok);
  const fs::path list = t.context.listFile;
  const auto steps = [&] {
    const auto calls = env.calls();
    return std::count(calls.begin(), calls.end(), "ftruncate server_list.dat");
  };
  const auto replaceWithLarge = [&] {
    fs::remove(list);
    testing::writeFile(list, {});
    fs::resize_file(list, 60 << 20);
  };
  replaceWithLarge();
  EXPECT_EQ(saving.checkpoint().outcome, SaveOutcome::Saved);
  // With no change coming, each step is twice the one before: to 52 MiB, 36, 4; the close frees
  // the rest.
  EXPECT_EQ(steps(), 3);

  replaceWithLarge();
  EXPECT_EQ(saving.checkpoint(false, true).outcome, SaveOutcome::Saved);
  EXPECT_EQ(steps(), 3);

  replaceWithLarge();
  fs::create_hard_link(list, t.dir / "kept");
  EXPECT_EQ(saving.checkpoint().outcome, SaveOutcome::Saved);
  EXPECT_EQ(fs::file_size(t.dir / "kept"), 60u << 20);
  fs::remove(t.dir / "kept");

  // Nor is one that a reader (a backup copying it) still has open.
  replaceWithLarge();
  const int reader = ::open(list.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  EXPECT_EQ(saving.checkpoint().outcome, SaveOutcome::Saved);
  struct stat status {};
  EXPECT_EQ(::fstat(reader, &status), 0);
  EXPECT_EQ(status.st_size, 60 << 20);
  ::close(reader);
  EXPECT_EQ(steps(), 3);
  EXPECT_TRUE(sameOwners(loadAgain(t).hosts, hostsOf(t.context.registry)));
}

}  // namespace
}  // namespace dirserver
