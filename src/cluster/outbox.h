// The node's durable outbox: every change it made and acknowledged that the cluster's bucket has
// not yet confirmed, the latest per key, each with the revision of its key the node had seen when
// the change was made. The loop adds to it, the link's threads confirm or reject entries, and one
// writer thread makes it durable (persist/outbox_file.h). Kept across checkpoints and restarts,
// so that a change acknowledged while the bucket was out of reach still reaches the cluster.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "persist/outbox_file.h"

namespace dirserver {

// Safe from any thread, except flush() and load(), which one thread calls (load() before the
// others start).
class Outbox {
 public:
  // Kept in the file at `path`, through `env`; never more than `bound` entries.
  Outbox(Env& env, std::string path, std::size_t bound);

  // Reads the file (a missing one is an empty outbox); the first flush rewrites it clean. A
  // damaged file is kept aside as `<path>.damaged` (unless one is there already) before that.
  // Returns what to say about it: empty when nothing is worth a line.
  std::string load();

  // Records that this node changed `key` to `value`, made on the revision of `key` it has seen
  // last (see saw()); when it keeps none, on kUnseenRevision before caughtUp() and on
  // kUnknownRevision after it. Replaces an entry of `key`. Returns false when the outbox holds
  // `bound` entries and `key` is not one of them: the change is not kept.
  bool put(const std::string& key, Bytes value);

  // True once for each run of refusals by put(): on the first call after a refusal that followed
  // a time the outbox held fewer than `bound` entries. A warning said then is said once per run.
  bool refusalToSay();

  // The bucket holds `key` at `revision` (a watched entry): the revision a later change of `key`
  // is made on. A tombstone (`removed`) of a key with no entry here makes the outbox forget the
  // key instead, so that what it keeps stays within the hosts it knows of.
  void saw(const std::string& key, std::uint64_t revision, bool removed);

  // The watcher has had the bucket's current values for the first time, each told to saw():
  // every entry made on kUnseenRevision (or on kUnknownRevision, read from the file) is moved
  // onto the revision of its key seen now (0: the bucket does not hold the key). Call before
  // anything is published.
  void caughtUp();

  // The bucket confirmed `value` for `key` at `revision`: the entry goes when it holds that
  // value (and a tombstone's key is forgotten, as in saw()); a newer value waiting is now made on
  // `revision`.
  void confirmed(const std::string& key, ByteView value, std::uint64_t revision);

  // The bucket refused `value` for `key` because the key changed since the revision it was made
  // on: someone else's later change wins, and the entry goes when it holds that value.
  void rejected(const std::string& key, ByteView value);

  // The entry of `key`, when it holds `value`, is made on `revision` from now on: the bucket no
  // longer holds the key at all (its maximum age removed it; `revision` 0), or holds at
  // `revision` an earlier value of this node's whose confirmation never came.
  void rebase(const std::string& key, ByteView value, std::uint64_t revision);

  // Whether the entry of `key` holds `value`.
  bool holds(const std::string& key, ByteView value) const;

  // The revision the entry of `key` was made on, when there is one.
  std::optional<std::uint64_t> revisionOf(const std::string& key) const;

  OutboxEntries entries() const;
  std::size_t size() const;

  // Makes every change since the last call durable: appends them and syncs, or rewrites the file
  // when it has grown to more than twice what it holds (or an append failed). Returns false with
  // `error` when that failed; the next call tries again with a rewrite.
  bool flush(std::string& error);

  // Called (once until the next flush) when a confirmation or rejection left something to write,
  // from that thread: the server has it flushed on the writer thread.
  void onDirty(std::function<void()> dirty) { dirty_ = std::move(dirty); }

  // Keeps `*gauge` equal to the number of entries from now on (the status's outbox figure), for
  // readers on any thread. Call before the other threads start; `gauge` must outlive the outbox.
  void reportSizeTo(std::atomic<std::uint64_t>* gauge);

 private:
  void record(OutboxRecord record);
  bool noteDirty();
  void noteSize();

  Env& env_;
  const std::string path_;
  OutboxFile file_;
  const std::size_t bound_;
  mutable std::mutex mutex_;
  OutboxEntries entries_;
  // Per key, the last revision seen; keys of the hosts the bucket holds, not of its tombstones.
  std::unordered_map<std::string, std::uint64_t> seen_;
  std::vector<OutboxRecord> pending_;                    // not yet written
  std::uint64_t liveBytes_ = 0;                          // what a rewrite would write, about
  bool caughtUp_ = false;
  bool refusing_ = false;   // put() refused since the outbox last had room
  bool refusalSaid_ = false;
  bool rewriteDue_ = true;
  bool dirtyNoted_ = false;
  std::function<void()> dirty_;
  std::atomic<std::uint64_t>* sizeGauge_ = nullptr;
};

}  // namespace dirserver
