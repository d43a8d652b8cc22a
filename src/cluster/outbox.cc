#include "cluster/outbox.h"

#include <algorithm>

#include "cluster/host_state.h"
#include "cluster/reconcile.h"

namespace dirserver {
namespace {

// A file under this size is never compacted: rewriting it would cost more than it saves.
constexpr std::uint64_t kCompactFloor = 1 << 20;

static_assert(kHostStateFixedBytes + kMaxNodeNameBytes + kFieldCount * (2 + kFieldCapacity) +
                      kHostStateChecksumBytes <=
                  kOutboxMaxValueBytes,
              "the outbox file holds any host's state");

// What a record of `key` holding `value` takes in a rewritten file.
std::uint64_t recordBytes(const std::string& key, const Bytes& value) {
  return kOutboxRecordFrameBytes + kOutboxBodyFixedBytes + key.size() + value.size();
}

bool sameValue(const Bytes& held, ByteView value) {
  return held.size() == value.size() && std::equal(held.begin(), held.end(), value.begin());
}

}  // namespace

Outbox::Outbox(Env& env, std::string path, std::size_t bound)
    : env_(env), path_(std::move(path)), file_(env_, path_), bound_(bound) {}

std::string Outbox::load() {
  OutboxLoad loaded = loadOutbox(env_, path_);
  std::string said;
  if (!loaded.damage.empty()) {
    said = "the outbox file: " + loaded.damage;
    // The evidence stays; the first flush writes what could be read as a new file.
    if (env_.renameNoReplace(path_, path_ + ".damaged") == 0) said += "; kept aside as .damaged";
  }
  const std::lock_guard lock(mutex_);
  // More than the bound only from a file of another build: the newest are not told apart.
  while (loaded.entries.size() > bound_) loaded.entries.erase(std::prev(loaded.entries.end()));
  entries_ = std::move(loaded.entries);
  liveBytes_ = 0;
  for (const auto& [key, entry] : entries_) liveBytes_ += recordBytes(key, entry.value);
  // An entry made before its node caught up knows no revision of its key: the next catch-up
  // tells it.
  for (const auto& [key, entry] : entries_) {
    if (entry.revision < kUnknownRevision) seen_[key] = entry.revision;
  }
  pending_.clear();
  rewriteDue_ = true;
  noteSize();
  return said;
}

bool Outbox::put(const std::string& key, Bytes value) {
  {
    const std::lock_guard lock(mutex_);
    if (entries_.size() >= bound_ && entries_.find(key) == entries_.end()) {
      refusing_ = true;
      return false;
    }
    if (entries_.size() < bound_) refusing_ = refusalSaid_ = false;
    const auto seen = seen_.find(key);
    const std::uint64_t revision =
        seen != seen_.end() ? seen->second : caughtUp_ ? kUnknownRevision : kUnseenRevision;
    // An entry waiting for its earlier value's confirmation keeps the revision that value was
    // made on: the confirmation moves it on.
    const auto held = entries_.find(key);
    const std::uint64_t madeOn =
        held == entries_.end() ? revision : std::max(revision, held->second.revision);
    if (held != entries_.end()) liveBytes_ -= recordBytes(key, held->second.value);
    liveBytes_ += recordBytes(key, value);
    entries_[key] = OutboxEntry{madeOn, value};
    noteSize();
    pending_.push_back({OutboxRecord::Kind::Put, key, madeOn, std::move(value)});
  }
  return true;
}

bool Outbox::refusalToSay() {
  const std::lock_guard lock(mutex_);
  if (!refusing_ || refusalSaid_) return false;
  refusalSaid_ = true;
  return true;
}

void Outbox::saw(const std::string& key, std::uint64_t revision, bool removed) {
  const std::lock_guard lock(mutex_);
  if (removed && !entries_.contains(key)) {
    seen_.erase(key);
    return;
  }
  std::uint64_t& seen = seen_[key];
  seen = std::max(seen, revision);
}

void Outbox::caughtUp() {
  bool dirty = false;
  {
    const std::lock_guard lock(mutex_);
    caughtUp_ = true;
    for (auto& [key, entry] : entries_) {
      if (entry.revision < kUnknownRevision) continue;
      const auto seen = seen_.find(key);
      entry.revision = seen == seen_.end() ? 0 : seen->second;
      pending_.push_back({OutboxRecord::Kind::Revise, key, entry.revision, {}});
      dirty = true;
    }
    dirty = dirty && noteDirty();
  }
  if (dirty && dirty_) dirty_();
}

void Outbox::confirmed(const std::string& key, ByteView value, std::uint64_t revision) {
  bool dirty = false;
  {
    const std::lock_guard lock(mutex_);
    const auto found = entries_.find(key);
    const bool drops = found != entries_.end() && sameValue(found->second.value, value);
    if ((found == entries_.end() || drops) && isTombstone(value)) {
      seen_.erase(key);
    } else {
      std::uint64_t& seen = seen_[key];
      seen = std::max(seen, revision);
    }
    if (found == entries_.end()) return;
    if (drops) {
      liveBytes_ -= recordBytes(key, found->second.value);
      entries_.erase(found);
      pending_.push_back({OutboxRecord::Kind::Drop, key, 0, {}});
      noteSize();
    } else if (found->second.revision < revision || found->second.revision == kUnknownRevision) {
      found->second.revision = revision;
      pending_.push_back({OutboxRecord::Kind::Revise, key, revision, {}});
    } else {
      return;
    }
    dirty = noteDirty();
  }
  if (dirty && dirty_) dirty_();
}

void Outbox::rejected(const std::string& key, ByteView value) {
  bool dirty = false;
  {
    const std::lock_guard lock(mutex_);
    const auto found = entries_.find(key);
    if (found == entries_.end() || !sameValue(found->second.value, value)) return;
    liveBytes_ -= recordBytes(key, found->second.value);
    entries_.erase(found);
    pending_.push_back({OutboxRecord::Kind::Drop, key, 0, {}});
    noteSize();
    dirty = noteDirty();
  }
  if (dirty && dirty_) dirty_();
}

void Outbox::rebase(const std::string& key, ByteView value, std::uint64_t revision) {
  bool dirty = false;
  {
    const std::lock_guard lock(mutex_);
    seen_[key] = revision;
    const auto found = entries_.find(key);
    if (found == entries_.end() || !sameValue(found->second.value, value)) return;
    found->second.revision = revision;
    pending_.push_back({OutboxRecord::Kind::Revise, key, revision, {}});
    dirty = noteDirty();
  }
  if (dirty && dirty_) dirty_();
}

void Outbox::reportSizeTo(std::atomic<std::uint64_t>* gauge) {
  const std::lock_guard lock(mutex_);
  sizeGauge_ = gauge;
  noteSize();
}

// With mutex_ held, after entries_ changed.
void Outbox::noteSize() {
  if (sizeGauge_ != nullptr) *sizeGauge_ = entries_.size();
}

bool Outbox::noteDirty() {
  if (dirtyNoted_) return false;
  dirtyNoted_ = true;
  return true;
}

bool Outbox::holds(const std::string& key, ByteView value) const {
  const std::lock_guard lock(mutex_);
  const auto found = entries_.find(key);
  return found != entries_.end() && sameValue(found->second.value, value);
}

std::optional<std::uint64_t> Outbox::revisionOf(const std::string& key) const {
  const std::lock_guard lock(mutex_);
  const auto found = entries_.find(key);
  if (found == entries_.end()) return std::nullopt;
  return found->second.revision;
}

OutboxEntries Outbox::entries() const {
  const std::lock_guard lock(mutex_);
  return entries_;
}

std::size_t Outbox::size() const {
  const std::lock_guard lock(mutex_);
  return entries_.size();
}

bool Outbox::flush(std::string& error) {
  std::vector<OutboxRecord> records;
  OutboxEntries whole;
  bool rewrite = false;
  {
    const std::lock_guard lock(mutex_);
    dirtyNoted_ = false;
    if (pending_.empty() && !rewriteDue_) return true;
    records.swap(pending_);
    rewrite = rewriteDue_ || file_.bytes() > 2 * liveBytes_ + kCompactFloor;
    if (rewrite) whole = entries_;
  }
  // The file is this thread's alone; only the entries need the lock.
  const bool ok = rewrite ? file_.rewrite(whole, error) : file_.append(records, error);
  if (!ok) {
    const std::lock_guard lock(mutex_);
    rewriteDue_ = true;
    return false;
  }
  if (rewrite) {
    const std::lock_guard lock(mutex_);
    rewriteDue_ = false;
  }
  return true;
}

}  // namespace dirserver
