#include "persist/list_saver.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace dirserver {
namespace {

// A log takes room ahead of its entries in steps of this size, filled with zeros, so that a
// commit only writes over bytes the file already has: its sync then carries the data and nothing
// of the file system's own bookkeeping, and never waits for a journal commit (which could wait in
// turn for a checkpoint's data).
constexpr std::uint64_t kRoomStep = 1 << 20;

// While a sync is under way, the batches that arrive are written together at most this long
// after the first of them, not one by one: a write (and a wake-up of the committer) per batch
// would cost a change more than the log saves, and a kill loses at most this much more.
constexpr auto kWriteInterval = std::chrono::milliseconds(10);

// The list a checkpoint replaced is freed in steps, each in a moment when no commit is under way
// (see kIdleWait): a step of 8 MiB holds the file system's journal for a few milliseconds. While no
// change comes, each step is twice the one before, up to the largest, so that an idle server
// frees a list of gigabytes in a few steps rather than hundreds.
constexpr std::uint64_t kReleaseStep = 8 << 20;
constexpr std::uint64_t kLargestReleaseStep = 256 << 20;

// How long a paced checkpoint waits for the committer to be idle before it starts a slice's write
// or a step of freeing anyway: long enough for a sync on a busy disk, short enough that commits
// one after another cannot hold a checkpoint up for long.
constexpr auto kIdleWait = std::chrono::milliseconds(20);

// The checkpoint thread yields to the loop and to the committer: a checkpoint at 65,531 hosts copies
// 1.9 GB, and on a machine of few cores it must not take the processor or the disk from them. The
// lowest best-effort priorities do that without starving it (best effort: a failure leaves the
// thread as it was).
void yieldToOthers() {
  const auto thread = static_cast<id_t>(::syscall(SYS_gettid));
  ::setpriority(PRIO_PROCESS, thread, 10);
  constexpr int kWhoProcess = 1, kClassBestEffort = 2, kLowest = 7, kClassShift = 13;
  ::syscall(SYS_ioprio_set, kWhoProcess, static_cast<int>(thread),
            (kClassBestEffort << kClassShift) | kLowest);
}

std::string failure(const char* step, const std::string& path) {
  return std::string(step) + " " + path + ": " + std::strerror(errno);
}

std::uint64_t roundUp(std::uint64_t bytes) { return (bytes / kRoomStep + 1) * kRoomStep; }

// Writes `bytes` (zeros of room taken ahead) at `offset` a page at a time. Written in one call, a
// megabyte of room would sit in the page cache as one large folio, and every later commit into it
// would dirty, count and write back the whole megabyte instead of the page it touches.
bool writeInPages(Env& env, int fd, ByteView bytes, off_t offset) {
  constexpr off_t kPage = 4096;
  while (!bytes.empty()) {
    const auto piece = std::min<std::size_t>(bytes.size(), static_cast<std::size_t>(kPage - offset % kPage));
    if (!writeFullyAt(env, fd, bytes.first(piece), offset)) return false;
    bytes = bytes.subspan(piece);
    offset += static_cast<off_t>(piece);
  }
  return true;
}

}  // namespace

ListSaver::ListSaver(const std::string& listFile, const LoadResult& loaded, OnCommit onCommit,
                     OnCheckpoint onCheckpoint, Env& env, WriteRateLimits limits)
    : env_(env),
      paths_(listPaths(env, listFile)),
      onCommit_(std::move(onCommit)),
      onCheckpoint_(std::move(onCheckpoint)),
      rate_(limits),
      firstChange_(loaded.lastChange + 1),
      nextChange_(loaded.lastChange + 1),
      lastDurable_(loaded.lastChange),
      nextSeq_(loaded.nextLogSeq),
      baseFingerprint_(loaded.inPlace.fingerprint),
      baseChange_(loaded.baseChange),
      lastWritten_(loaded.lastChange),
      inPlace_(loaded.inPlace),
      uncopied_(loaded.uncopiedLogs) {
  for (const std::uint64_t seq : loaded.liveLogs) {
    if (loaded.appendable && loaded.appendable->header.seq == seq) continue;
    olderLogs_.emplace_back(seq, 0);
  }
  // A log of an older version is only read: new entries go to a new log of this version.
  if (loaded.appendable && loaded.appendable->header.version != kLogVersion) {
    olderLogs_.emplace_back(loaded.appendable->header.seq, loaded.appendable->end);
  } else if (loaded.appendable) {
    Log log;
    log.header = loaded.appendable->header;
    log.end = loaded.appendable->end;
    log.fd = env_.open(paths_.log(log.header.seq), O_WRONLY | O_CLOEXEC | O_NOFOLLOW, 0);
    struct stat status {};
    if (log.fd >= 0 && env_.fstat(log.fd, &status) == 0) {
      log.allocated = std::max<std::uint64_t>(log.end, static_cast<std::uint64_t>(status.st_size));
      log_ = log;
    } else {
      if (log.fd >= 0) env_.close(log.fd);
      olderLogs_.emplace_back(log.header.seq, log.end);
    }
  }
  committer_ = std::thread([this] { runCommitter(); });
  syncer_ = std::thread([this] { runSyncer(); });
  checkpointer_ = std::thread([this] { runCheckpoints(); });
}

ListSaver::~ListSaver() {
  // The checkpoint thread first: a checkpoint in flight needs the committer to begin its log.
  {
    std::lock_guard lock(mutex_);
    stoppingCheckpoints_ = true;
  }
  checkpointWake_.notify_all();
  checkpointer_.join();
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  committer_.join();
  {
    std::lock_guard lock(mutex_);
    stoppingSyncer_ = true;
  }
  syncWake_.notify_all();
  syncer_.join();
  if (log_) env_.close(log_->fd);
}

void ListSaver::append(std::uint64_t batch, std::vector<HostChange> changes) {
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    appendedChanges_ += changes.size();
    // Only the first batch since the committer last took them wakes it: it is on its way for
    // that one and takes the others with it. While a sync is under way, that first batch starts
    // its wait of kWriteInterval, after which it writes what came meanwhile together.
    wake = incoming_.empty();
    incoming_.emplace_back(batch, std::move(changes));
  }
  if (wake) wake_.notify_all();
}

void ListSaver::checkpoint(SnapshotPtr snapshot, bool last) {
  {
    std::lock_guard lock(mutex_);
    nextCheckpoint_ = std::move(snapshot);
    lastCheckpoint_ = last;
    // The changes the checkpoint holds end with the last one handed over.
    checkpointBoundary_ = firstChange_ + appendedChanges_ - 1;
    ++checkpointGeneration_;
  }
  checkpointWake_.notify_all();
  wake_.notify_all();
}

void ListSaver::hurry() {
  {
    std::lock_guard lock(mutex_);
    hurried_ = true;
  }
  checkpointWake_.notify_all();
}

void ListSaver::retry() {
  {
    std::lock_guard lock(mutex_);
    retryWanted_ = true;
  }
  wake_.notify_all();
}

std::uint64_t ListSaver::logBytes() const {
  std::uint64_t bytes = log_ ? log_->end : 0;
  for (const auto& [seq, size] : olderLogs_) bytes += size;
  return bytes;
}

// ---------------------------------------------------------------------------------------------
// The committer

void ListSaver::runCommitter() {
  std::unique_lock lock(mutex_);
  for (;;) {
    // A request may close the log being synced, so it waits for the sync under way; a stop waits
    // for it too. Writes go on meanwhile, kWriteInterval after the first batch that came during
    // the sync.
    const auto ready = [this] {
      return (sync_ && sync_->done) || ((stopping_ || request_) && !sync_) || retryWanted_ ||
             (!incoming_.empty() && !failed_ && !sync_) ||
             checkpointGeneration_ != boundaryGeneration_ || (pending_ && !sync_ && !request_);
    };
    if (!ready() && incoming_.empty() && !sync_) {
      committerIdle_ = true;
      checkpointWake_.notify_all();
    }
    wake_.wait(lock, [&] { return ready() || (!incoming_.empty() && !failed_); });
    committerIdle_ = false;
    if (!ready()) wake_.wait_for(lock, kWriteInterval, ready);
    if (sync_ && sync_->done) finishSync(lock);
    if (request_ && !sync_) {
      const auto request = std::move(request_);
      request_ = nullptr;
      lock.unlock();
      const bool answer = request();
      lock.lock();
      answer_ = answer;
      answered_.notify_all();
      continue;
    }
    // A checkpoint holds the registry up to its boundary: the changes after it are kept until its
    // log begins.
    if (checkpointGeneration_ != boundaryGeneration_) {
      boundaryGeneration_ = checkpointGeneration_;
      boundary_ = checkpointBoundary_;
    }
    if (stopping_ && (incoming_.empty() || failed_) && !retryWanted_ && !sync_ && !pending_) return;
    commit(lock);
    if (pending_ && !sync_ && !request_) askSync();
  }
}

// Hands what was written since the last sync to the syncer. Called with mutex_ held.
void ListSaver::askSync() {
  sync_ = std::move(pending_);
  pending_.reset();
  syncWake_.notify_all();
}

void ListSaver::runSyncer() {
  std::unique_lock lock(mutex_);
  for (;;) {
    syncWake_.wait(lock, [this] { return (sync_ && !sync_->taken) || stoppingSyncer_; });
    if (!sync_ || sync_->taken) return;
    sync_->taken = true;
    const int fd = sync_->fd;
    lock.unlock();
    const bool ok = env_.fdatasync(fd) == 0;
    const int error = errno;
    const auto durableAt = env_.clock().steadyNow();
    lock.lock();
    sync_->ok = ok;
    sync_->error = error;
    sync_->durableAt = durableAt;
    sync_->done = true;
    wake_.notify_all();
  }
}

// Takes back the sync that the syncer finished and reports it. A failed one leaves the log's
// unsynced pages untrusted: everything not known durable is written again, to a new log, at the
// retry. Called with mutex_ held; unlocks it while it reports.
void ListSaver::finishSync(std::unique_lock<std::mutex>& lock) {
  const Sync done = std::move(*sync_);
  sync_.reset();
  lock.unlock();
  CommitReport report;
  report.durableAt = done.durableAt;
  report.took = done.durableAt - done.began;
  report.bytesWritten = done.bytesWritten;
  report.ok = done.ok;
  if (done.ok) {
    lastDurable_ = std::max(lastDurable_, done.lastChange);
    report.batch = done.lastBatch;
  } else {
    errno = done.error;
    report.error = failure("sync", paths_.log(done.seq));
    failed_ = true;
    syncFailed_ = true;
    lastWritten_ = lastDurable_;
    pending_.reset();
  }
  noteCommitTime(report.took);
  trimRetained();
  report.logBytes = logBytes();
  onCommit_(report);
  lock.lock();
}

// Keeps the slowest commit time for the checkpoint's write rate.
void ListSaver::noteCommitTime(std::chrono::nanoseconds took) {
  const std::int64_t nanoseconds = took.count();
  for (std::int64_t slowest = slowestCommit_.load(std::memory_order_relaxed);
       nanoseconds > slowest &&
       !slowestCommit_.compare_exchange_weak(slowest, nanoseconds, std::memory_order_relaxed);) {
  }
}

void ListSaver::commit(std::unique_lock<std::mutex>& lock) {
  const auto batches = std::move(incoming_);
  incoming_.clear();
  const bool retrying = std::exchange(retryWanted_, false);
  const bool syncing = sync_.has_value();
  lock.unlock();
  if (!batches.empty()) {
    Chunk chunk;
    chunk.firstChange = nextChange_;
    for (const auto& [batch, changes] : batches) {
      for (const HostChange& change : changes) appendLogEntry(chunk.bytes, change);
      nextChange_ += changes.size();
      chunk.lastBatch = batch;
    }
    chunk.lastChange = nextChange_ - 1;
    if (chunk.lastChange >= chunk.firstChange) {
      chunks_.push_back(std::move(chunk));
    } else if (pending_ || syncing) {
      // No change in these batches, but the ones before them are not durable yet: they are
      // reported with the next sync.
      if (!pending_) {
        pending_ = Sync{log_->fd, log_->header.seq, lastWritten_};
        pending_->began = env_.clock().steadyNow();
      }
      pending_->lastBatch = chunk.lastBatch;
    } else if (!failed_ && !retired_) {
      CommitReport report;
      report.batch = chunk.lastBatch;
      report.logBytes = logBytes();
      onCommit_(report);
    }
  }
  std::vector<const Chunk*> unwritten;
  for (const Chunk& chunk : chunks_) {
    if (chunk.lastChange > lastWritten_) unwritten.push_back(&chunk);
  }
  if (unwritten.empty() || retired_ || (failed_ && !retrying)) {
    lock.lock();
    return;
  }
  const auto started = env_.clock().steadyNow();
  std::string error;
  std::uint64_t written = 0;
  if (!log_ || syncFailed_) {
    // The first log after the list, or, after a failed sync, one that takes over everything not
    // known durable: it goes on from the same list. No sync is under way then (a failed one has
    // been taken back; a first log has had none), and this one is synced before it is reported.
    LogHeader header;
    header.baseFingerprint = log_ ? log_->header.baseFingerprint : baseFingerprint_;
    header.baseChange = log_ ? log_->header.baseChange : baseChange_;
    header.firstChange = unwritten.front()->firstChange;
    Log next;
    const bool ok = startLog(header, unwritten, next, error, written);
    CommitReport report;
    report.durableAt = env_.clock().steadyNow();
    report.took = report.durableAt - started;
    report.bytesWritten = written;
    report.ok = ok;
    if (ok) {
      if (log_) {
        env_.close(log_->fd);
        olderLogs_.emplace_back(log_->header.seq, log_->end);
      }
      log_ = next;
      syncFailed_ = false;
      failed_ = false;
      lastWritten_ = lastDurable_ = unwritten.back()->lastChange;
      report.batch = unwritten.back()->lastBatch;
    } else {
      failed_ = true;
      report.error = error;
    }
    noteCommitTime(report.took);
    trimRetained();
    report.logBytes = logBytes();
    onCommit_(report);
    lock.lock();
    return;
  }
  if (writeChunks(unwritten, error, written)) {
    failed_ = false;
    lastWritten_ = unwritten.back()->lastChange;
    if (!pending_) {
      pending_ = Sync{log_->fd, log_->header.seq};
      pending_->began = started;
    }
    pending_->lastChange = lastWritten_;
    pending_->lastBatch = unwritten.back()->lastBatch;
    pending_->bytesWritten += written;
    lock.lock();
    return;
  }
  // What was written before stays where it is and is synced first; the failure is reported after
  // those syncs' outcomes, so that no report of a success comes after it.
  lock.lock();
  for (;;) {
    wake_.wait(lock, [this] { return !sync_ || sync_->done; });
    if (sync_) finishSync(lock);
    if (!pending_) break;
    askSync();
  }
  lock.unlock();
  failed_ = true;
  CommitReport report;
  report.durableAt = env_.clock().steadyNow();
  report.took = report.durableAt - started;
  report.ok = false;
  report.error = error;
  trimRetained();
  report.logBytes = logBytes();
  onCommit_(report);
  lock.lock();
}

// Writes the entries of `chunks` at the log's end, and more room when due; no sync. A failed write
// is cut back to the last whole entry.
bool ListSaver::writeChunks(std::vector<const Chunk*> chunks, std::string& error,
                            std::uint64_t& written) {
  Log& log = *log_;
  Bytes bytes;
  for (const Chunk* chunk : chunks) putBytes(bytes, chunk->bytes);
  const std::uint64_t end = log.end + bytes.size();
  const std::string path = paths_.log(log.header.seq);
  // The entries in one write, then more room, if due. A kill may still cut the write short: what it
  // leaves is part of an entry followed by zeros (or by the end of the file), which loading tells
  // from damage and drops as a commit never acknowledged.
  const std::uint64_t room = end > log.allocated ? roundUp(end) - end : 0;
  if (!writeFullyAt(env_, log.fd, bytes, static_cast<off_t>(log.end)) ||
      !writeInPages(env_, log.fd, Bytes(room, 0), static_cast<off_t>(end))) {
    error = failure("write", path);
    // Cut back to the last whole entry: what the write left after it is no entry.
    const int saved = errno;
    if (env_.ftruncate(log.fd, static_cast<off_t>(log.end)) == 0) log.allocated = log.end;
    errno = saved;
    return false;
  }
  written = bytes.size() + room;
  log.allocated = std::max(log.allocated, end + room);
  log.end = end;
  return true;
}

bool ListSaver::startLog(const LogHeader& wanted, std::vector<const Chunk*> chunks, Log& log,
                         std::string& error, std::uint64_t& written) {
  log.header = wanted;
  // Whatever holds a log's name already (left by an earlier run, or planted) is passed over.
  std::string path;
  for (int attempt = 0; attempt < 100 && log.fd < 0; ++attempt) {
    log.header.seq = nextSeq_++;
    path = paths_.log(log.header.seq);
    log.fd = env_.open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (log.fd < 0 && errno != EEXIST) break;
  }
  if (log.fd < 0) {
    error = failure("create", path);
    return false;
  }
  Bytes bytes = encodeLogHeader(log.header);
  for (const Chunk* chunk : chunks) putBytes(bytes, chunk->bytes);
  log.end = bytes.size();
  const std::uint64_t room = roundUp(log.end) - log.end;
  const char* step = nullptr;
  if (!writeFullyAt(env_, log.fd, bytes, 0) ||
      !writeInPages(env_, log.fd, Bytes(room, 0), static_cast<off_t>(log.end))) {
    step = "write";
  } else if (env_.fdatasync(log.fd) != 0) {
    step = "sync";
  } else if (!syncDirectory(env_, paths_.dir)) {
    step = "sync the directory of";
  }
  if (step != nullptr) {
    error = failure(step, path);
    env_.close(log.fd);
    env_.unlink(path);
    log.fd = -1;
    return false;
  }
  written = bytes.size() + room;
  log.allocated = bytes.size() + room;
  return true;
}

void ListSaver::trimRetained() {
  while (!chunks_.empty()) {
    const std::uint64_t last = chunks_.front().lastChange;
    if (last > lastDurable_ || (boundary_ && last > *boundary_)) break;
    chunks_.pop_front();
  }
}

// Begins the log that follows the checkpoint of `fingerprint`, holding the registry up to change
// `boundary`: it starts with every change after the boundary (and any not yet durable), so that
// it follows the new list once that is in place, and the old log until then.
bool ListSaver::rotate(std::uint64_t fingerprint, std::uint64_t boundary, std::string& error) {
  boundary_ = boundary;
  trimRetained();
  std::vector<const Chunk*> chunks;
  for (const Chunk& chunk : chunks_) chunks.push_back(&chunk);
  LogHeader header;
  header.baseFingerprint = fingerprint;
  header.baseChange = boundary;
  header.firstChange = chunks.empty() ? nextChange_ : chunks.front()->firstChange;
  Log next;
  std::uint64_t written = 0;
  const auto started = env_.clock().steadyNow();
  const bool ok = startLog(header, chunks, next, error, written);
  boundary_.reset();
  if (!ok) {
    trimRetained();
    return false;
  }
  if (log_) {
    env_.close(log_->fd);
    olderLogs_.emplace_back(log_->header.seq, log_->end);
  }
  log_ = next;
  syncFailed_ = false;
  // Whatever the old log held unsynced is durable in the new one.
  pending_.reset();
  if (!chunks.empty()) lastWritten_ = std::max(lastWritten_, chunks.back()->lastChange);
  baseFingerprint_ = fingerprint;
  baseChange_ = boundary;
  if (!chunks.empty() && chunks.back()->lastChange > lastDurable_) {
    // What a failed commit left is durable now.
    lastDurable_ = chunks.back()->lastChange;
    failed_ = false;
    CommitReport report;
    report.batch = chunks.back()->lastBatch;
    report.durableAt = env_.clock().steadyNow();
    report.took = report.durableAt - started;
    report.logBytes = logBytes();
    report.bytesWritten = written;
    onCommit_(report);
  }
  trimRetained();
  return true;
}

void ListSaver::dropOldLogs(bool all) {
  for (const auto& [seq, size] : olderLogs_) {
    retireLog(env_, paths_.log(seq),
              std::find(uncopied_.begin(), uncopied_.end(), seq) != uncopied_.end());
  }
  olderLogs_.clear();
  if (all && log_) {
    env_.close(log_->fd);
    env_.unlink(paths_.log(log_->header.seq));
    log_.reset();
    pending_.reset();
    retired_ = true;
  }
}

// ---------------------------------------------------------------------------------------------
// Checkpoints

void ListSaver::runCheckpoints() {
  yieldToOthers();
  // Runs `request` on the committer thread and yields its answer.
  const auto onCommitter = [this](std::function<bool()> request) {
    std::unique_lock lock(mutex_);
    request_ = std::move(request);
    answer_.reset();
    wake_.notify_all();
    answered_.wait(lock, [this] { return answer_.has_value(); });
    return *answer_;
  };
  for (;;) {
    SnapshotPtr snapshot;
    bool last = false;
    std::uint64_t boundary = 0;
    {
      std::unique_lock lock(mutex_);
      checkpointWake_.wait(lock, [this] { return nextCheckpoint_ != nullptr || stoppingCheckpoints_; });
      if (nextCheckpoint_ == nullptr) return;
      snapshot = nextCheckpoint_;
      last = lastCheckpoint_;
      boundary = checkpointBoundary_;
      if (last) hurried_ = true;
    }
    const auto started = env_.clock().steadyNow();
    rate_.begin(started);
    std::string rotateError;
    CheckpointWritten written =
        writeServerList(env_, *snapshot, paths_, &inPlace_, [&](std::uint64_t fingerprint) {
          return onCommitter([this, fingerprint, boundary, &rotateError] {
            return rotate(fingerprint, boundary, rotateError);
          });
        },
        [this](std::uint64_t bytes) { return pace(bytes); },
        [this](int fd, std::uint64_t size) { releaseInSteps(fd, size); });
    if (!rotateError.empty()) written.error = rotateError;
    // The checkpoint's records go before the report: the loop may measure memory right after it.
    snapshot.reset();
    {
      std::lock_guard lock(mutex_);
      nextCheckpoint_.reset();
      hurried_ = false;
    }
    if (written.outcome != SaveOutcome::Failed) inPlace_ = written.owners;
    // Only a rename known durable lets the logs before it go: a power loss could undo it.
    if (written.outcome == SaveOutcome::Saved) {
      onCommitter([this, last] {
        dropOldLogs(last);
        return true;
      });
    }
    CheckpointReport report;
    report.outcome = written.outcome;
    report.took = env_.clock().steadyNow() - started;
    report.bytesWritten = written.bytes;
    report.error = written.error;
    report.paced = std::exchange(paced_, {});
    report.rate = rate_.rate();
    onCommitter([this, &report] {
      report.logBytes = logBytes();
      return true;
    });
    onCheckpoint_(report);
  }
}

// Before each piece of a checkpoint: waits as long as the rate says, which the commits since the
// last piece move first. A hurried checkpoint (the last, one the stop waits for, or one asked for
// unpaced) and a stopping saver do not wait, and are not paced from then on.
bool ListSaver::pace(std::uint64_t bytes) {
  const auto now = env_.clock().steadyNow();
  const std::int64_t slowest = slowestCommit_.exchange(0, std::memory_order_relaxed);
  if (slowest > 0) rate_.observeCommit(std::chrono::nanoseconds(slowest), now);
  const auto delay = rate_.delayBefore(bytes, now);
  std::unique_lock lock(mutex_);
  if (hurried_ || stoppingCheckpoints_) return false;
  const auto waitFrom = std::chrono::steady_clock::now();
  if (delay > delay.zero()) {
    checkpointWake_.wait_for(lock, delay, [this] { return hurried_ || stoppingCheckpoints_; });
  }
  // The slice this piece completes goes to the disk while no commit's sync waits for it.
  const bool paced = awaitIdleCommitter(lock);
  paced_ += std::chrono::steady_clock::now() - waitFrom;
  return paced;
}

// Waits, at most kIdleWait, for a moment when the committer is idle; false when the checkpoint is
// hurried or the saver stops meanwhile. Called with mutex_ held.
bool ListSaver::awaitIdleCommitter(std::unique_lock<std::mutex>& lock) {
  checkpointWake_.wait_for(lock, kIdleWait, [this] {
    return hurried_ || stoppingCheckpoints_ || (committerIdle_ && incoming_.empty());
  });
  return !hurried_ && !stoppingCheckpoints_;
}

// Frees the list a checkpoint replaced (open, without a name) in steps, each when the committer is
// idle; what is left goes when the file is closed. Unpaced checkpoints leave it all to the close.
void ListSaver::releaseInSteps(int fd, std::uint64_t size) {
  std::uint64_t step = kReleaseStep;
  std::uint64_t changesSeen = 0;
  for (bool first = true; size > step; first = false) {
    {
      std::unique_lock lock(mutex_);
      if (!awaitIdleCommitter(lock)) return;
      if (!first) {
        step = appendedChanges_ == changesSeen ? std::min(2 * step, kLargestReleaseStep)
                                               : kReleaseStep;
      }
      changesSeen = appendedChanges_;
    }
    if (size <= step) return;
    size -= step;
    if (env_.ftruncate(fd, static_cast<off_t>(size)) != 0) return;
  }
}

}  // namespace dirserver
