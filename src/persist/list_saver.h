// The saver: makes the registry's changes durable off the loop thread. A committer thread writes
// each batch of changes to the log as soon as it arrives, and a syncer thread makes what was
// written durable, one sync at a time, everything written meanwhile in the next; a checkpoint
// thread writes whole server lists now and then, so that the logs can start over, without ever
// holding a commit up.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "persist/env.h"
#include "persist/list_loader.h"
#include "persist/server_list_file.h"
#include "persist/write_rate.h"
#include "registry/registry_snapshot.h"

namespace dirserver {

// What the saver reports of a commit, on the committer thread.
struct CommitReport {
  // When `ok`, every batch up to this one is durable; otherwise none after the last one reported
  // durable is, and `error` says what failed ("write server_list.wal.3: No space left on device").
  std::uint64_t batch = 0;
  bool ok = true;
  std::string error;
  std::chrono::nanoseconds took{};
  // When the sync returned, on the environment's steady clock: the moment the changes became
  // durable.
  std::chrono::steady_clock::time_point durableAt{};
  std::uint64_t logBytes = 0;      // what the logs since the list in place hold now
  std::uint64_t bytesWritten = 0;  // by this commit: entries, a new log's header, room ahead
};

// What the saver reports of a checkpoint, on the checkpoint thread.
struct CheckpointReport {
  SaveOutcome outcome = SaveOutcome::Failed;
  std::chrono::nanoseconds took{};
  std::uint64_t bytesWritten = 0;
  std::uint64_t logBytes = 0;  // what the logs hold once it is done
  // Unless Saved, which step failed and why ("sync server_list.dat.tmp-...: Input/output error").
  std::string error;
  // How long it waited to keep to its write rate or for moments when no commit was under way, and
  // that rate when it ended (bytes a second).
  std::chrono::nanoseconds paced{};
  double rate = 0;
};

// Where the server core hands the registry's changes. Calls come from one thread.
class Saver {
 public:
  virtual ~Saver() = default;
  // Appends `changes` to the log, in order, as batch `batch` (one more than the batch before).
  virtual void append(std::uint64_t batch, std::vector<HostChange> changes) = 0;
  // Writes `snapshot`, the registry as of every batch appended so far, as a new server list; the
  // logs before it are then removed. With `last`, no batch follows and its own log goes too, so
  // that the list alone remains. Called again only after the previous one has been reported.
  virtual void checkpoint(SnapshotPtr snapshot, bool last) = 0;
  // Tries again the commit that failed last, with whatever arrived since.
  virtual void retry() = 0;
  // Lets the checkpoint in flight, if any, write as fast as it can from now on: the stop waits for
  // it, or the operator asked for it unpaced.
  virtual void hurry() {}
};

// The saver of the server: a committer, a syncer and a checkpoint thread over the files of one server
// list, going on from what loading found. Knows only changes, checkpoints and paths: it prints
// nothing and never touches the registry. Reports go to the callbacks, on the saver's threads.
// A batch is written to the log at once, or, while the sync of the batches before it is under
// way, together with those that come within 10 ms of it, so that a kill of the process (which
// leaves what was written) loses only the batches handed over within the last moments, however
// long a sync takes; a commit is reported when a sync that began after its write has returned.
// (A saver in front of it that holds batches back, the cluster's outbox gate, widens that window
// by its own wait.)
// After a failed commit it tries again only when retry() is called (the server does on a timer):
// a failed write is cut back to the last whole entry and written again; after a failed sync the
// pages of the log may be lost whatever a second sync says, so everything not known durable is
// written to a new log instead. The destructor finishes the commit and the checkpoint in flight
// (and reports them) before it returns; changes it could not make durable are lost.
// A checkpoint keeps its writes to a rate (WriteRateController, within `limits`) that backs off
// when the commits slow down, so that a commit never waits long behind a checkpoint's data; the
// last one, and one in flight when hurry() is called or the saver is destroyed, go unpaced: no
// waits for the rate, and the list handed to the disk in larger slices. The list a checkpoint
// replaces is freed a few megabytes at a time, each step when no commit is under way.
class ListSaver final : public Saver {
 public:
  using OnCommit = std::function<void(const CommitReport&)>;
  using OnCheckpoint = std::function<void(const CheckpointReport&)>;

  ListSaver(const std::string& listFile, const LoadResult& loaded, OnCommit onCommit,
            OnCheckpoint onCheckpoint, Env& env = systemEnv(), WriteRateLimits limits = {});
  ~ListSaver() override;
  ListSaver(const ListSaver&) = delete;
  ListSaver& operator=(const ListSaver&) = delete;

  void append(std::uint64_t batch, std::vector<HostChange> changes) override;
  void checkpoint(SnapshotPtr snapshot, bool last) override;
  void retry() override;
  void hurry() override;

 private:
  // Encoded entries of consecutive changes, as one commit wrote them.
  struct Chunk {
    std::uint64_t firstChange = 0;
    std::uint64_t lastChange = 0;
    std::uint64_t lastBatch = 0;
    Bytes bytes;
  };
  // The log being appended to.
  struct Log {
    int fd = -1;
    LogHeader header;
    std::uint64_t end = 0;        // where its entries end
    std::uint64_t allocated = 0;  // bytes of the file, zeros after `end`
  };

  // Writes made and not yet known durable, as one sync covers them.
  struct Sync {
    int fd = -1;
    std::uint64_t seq = 0;         // of the log written to
    std::uint64_t lastChange = 0;  // the last change written
    std::uint64_t lastBatch = 0;
    std::uint64_t bytesWritten = 0;
    std::chrono::steady_clock::time_point began{};  // when the first of the writes began
    bool taken = false;  // by the syncer
    bool done = false;   // and then:
    bool ok = false;
    int error = 0;
    std::chrono::steady_clock::time_point durableAt{};
  };

  void runCommitter();
  void runSyncer();
  void askSync();
  void finishSync(std::unique_lock<std::mutex>& lock);
  void noteCommitTime(std::chrono::nanoseconds took);
  void runCheckpoints();
  bool pace(std::uint64_t bytes);
  bool awaitIdleCommitter(std::unique_lock<std::mutex>& lock);
  void releaseInSteps(int fd, std::uint64_t size);
  void commit(std::unique_lock<std::mutex>& lock);
  bool writeChunks(std::vector<const Chunk*> chunks, std::string& error, std::uint64_t& written);
  bool startLog(const LogHeader& header, std::vector<const Chunk*> chunks, Log& log,
                std::string& error, std::uint64_t& written);
  bool rotate(std::uint64_t fingerprint, std::uint64_t boundary, std::string& error);
  void dropOldLogs(bool all);
  void trimRetained();
  std::uint64_t logBytes() const;

  Env& env_;
  const ListPaths paths_;
  const OnCommit onCommit_;
  const OnCheckpoint onCheckpoint_;

  std::mutex mutex_;
  std::condition_variable wake_;
  // Handed over by the loop, not yet taken by the committer.
  std::vector<std::pair<std::uint64_t, std::vector<HostChange>>> incoming_;
  std::uint64_t appendedChanges_ = 0;
  bool retryWanted_ = false;
  bool stopping_ = false;           // the committer ends once nothing is left it can commit
  bool stoppingCheckpoints_ = false;  // the checkpoint thread ends after the checkpoint in flight
  // A request for the committer thread from the checkpoint thread, and its answer.
  std::function<bool()> request_;
  std::optional<bool> answer_;
  std::condition_variable answered_;

  // The checkpoint to write, and the change it holds the registry up to.
  SnapshotPtr nextCheckpoint_;
  bool lastCheckpoint_ = false;
  std::uint64_t checkpointBoundary_ = 0;
  std::uint64_t checkpointGeneration_ = 0;  // counts checkpoint() calls
  std::uint64_t boundaryGeneration_ = 0;  // the committer's: the call whose boundary it keeps
  std::condition_variable checkpointWake_;
  bool hurried_ = false;  // the checkpoint in flight goes unpaced
  // The committer waits for work, no sync is under way and no batch waits: a moment in which the
  // checkpoint thread may hold the file system's journal briefly without delaying a commit.
  bool committerIdle_ = false;

  // The slowest commit since the checkpoint thread last looked, in nanoseconds: the committer's
  // measure, handed over for the checkpoint's rate.
  std::atomic<std::int64_t> slowestCommit_{0};
  WriteRateController rate_;  // the checkpoint thread's
  std::chrono::nanoseconds paced_{};  // the checkpoint thread's: waited in this checkpoint

  // The committer's own state (guarded by mutex_ where the checkpoint thread reads it).
  const std::uint64_t firstChange_;  // the number the first change appended gets
  std::uint64_t nextChange_;
  std::uint64_t lastDurable_;
  std::uint64_t nextSeq_;
  std::uint64_t baseFingerprint_;
  std::uint64_t baseChange_;
  std::optional<Log> log_;
  // The last change written to the log (durable or not); a failed sync takes it back to the
  // last durable one, since what it covered must be written again.
  std::uint64_t lastWritten_;
  // Written, and no sync asked for yet (the committer's).
  std::optional<Sync> pending_;
  // The sync asked for, under way or done and not yet taken back by the committer (guarded by
  // mutex_): while there is one, nothing closes or replaces the log it syncs.
  std::optional<Sync> sync_;
  std::condition_variable syncWake_;
  bool stoppingSyncer_ = false;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> olderLogs_;  // seq and size of each
  bool failed_ = false;
  bool syncFailed_ = false;  // the log's unsynced pages cannot be trusted: a new log is due
  bool retired_ = false;
  std::deque<Chunk> chunks_;  // retained: not yet durable, or after a pending checkpoint's boundary
  std::optional<std::uint64_t> boundary_;  // the change a pending checkpoint holds the registry to

  OwnerTable inPlace_;  // the checkpoint thread's: owners of the list in place
  const std::vector<std::uint64_t> uncopied_;  // damaged logs loading could keep no copy of

  std::thread committer_;
  std::thread syncer_;
  std::thread checkpointer_;
};

}  // namespace dirserver
