// An immutable picture of the registry at one moment, for readers off the loop thread (the saver,
// the HTTP views). Taking one copies no host strings: records are immutable and shared between
// the registry and every snapshot that holds them, and snapshots of successive versions share
// the blocks of hosts that did not change between them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <vector>

#include "registry/host_id.h"
#include "registry/server_record.h"

namespace dirserver {

// The IPv4 address (network byte order) a host registered from: its owner. Hosts loaded from a
// file that keeps no owners have none.
using PeerAddress = std::uint32_t;
inline constexpr PeerAddress kUnknownAddress = 0;

// One host as the registry and its snapshots hold it: its key, its record (immutable and shared
// among them) and its owner.
struct HostEntry {
  ServerKey key = 0;
  std::shared_ptr<const ServerRecord> record;
  PeerAddress from = kUnknownAddress;
  // The monotonic clock (ServerContext::clock, in steady seconds) when its owner last registered it; 0 when it
  // has not since the registry was filled at start (see ServerRegistry::ownerSeenAt).
  std::int64_t ownerSeenAt = 0;
  // The monotonic clock's reading at which the host's age was zero: what it expires by, so that a
  // step of the wall clock moves no host's expiry. Set at each registration and, from the stored
  // registration time and the wall clock, once at load (anchorHostAges); kNotAnchored until then.
  // Mutable: it orders nothing, and is set on hosts in place.
  mutable std::int64_t agingSince = kNotAnchored;
  static constexpr std::int64_t kNotAnchored = INT64_MIN;
  // Its identity (computeHostId of its type and fields): computed once, when the registry first
  // stores the host, and kept through its refreshes. Zeros in an entry made elsewhere.
  HostId id{};

  // The same key and an equal record, wherever each record lives (the owner does not count: the
  // file does not keep it).
  friend bool operator==(const HostEntry& a, const HostEntry& b) {
    return a.key == b.key && *a.record == *b.record;
  }
};

// One change of the registry, as those who follow it (the write-ahead log, the listing) need it:
// what happened to which host, with the host's whole state after the change (for a removal, its
// state before it).
struct HostChange {
  enum class Kind : std::uint8_t { Added, Refreshed, Removed };
  Kind kind = Kind::Added;
  ServerType type{};
  HostEntry entry;
};

// What a host is looked up by: its key and its seven fields.
struct HostProbe {
  ServerKey key = 0;
  const ServerFields* fields = nullptr;
};

// Consecutive hosts of one type, in the registry's order: the unit in which snapshots share their
// hosts. Immutable once made; a change of one of its hosts makes a new block.
using HostBlock = std::vector<HostEntry>;
using HostBlockPtr = std::shared_ptr<const HostBlock>;

// The hosts of one type in a snapshot: its blocks in order, walked as one range of HostEntry.
class HostRange {
 public:
  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = HostEntry;
    using difference_type = std::ptrdiff_t;
    using pointer = const HostEntry*;
    using reference = const HostEntry&;

    Iterator() = default;
    reference operator*() const { return (*(*blocks_)[block_])[at_]; }
    pointer operator->() const { return &**this; }
    Iterator& operator++() {
      if (++at_ == (*blocks_)[block_]->size()) {
        at_ = 0;
        ++block_;
        skipEmpty();
      }
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++*this;
      return before;
    }
    friend bool operator==(const Iterator& a, const Iterator& b) {
      return a.block_ == b.block_ && a.at_ == b.at_;
    }

   private:
    friend class HostRange;
    Iterator(const std::vector<HostBlockPtr>* blocks, std::size_t block)
        : blocks_(blocks), block_(block) {
      skipEmpty();
    }
    void skipEmpty() {
      while (block_ < blocks_->size() && (*blocks_)[block_]->empty()) ++block_;
    }

    const std::vector<HostBlockPtr>* blocks_ = nullptr;
    std::size_t block_ = 0;
    std::size_t at_ = 0;
  };

  HostRange() = default;
  explicit HostRange(std::vector<HostBlockPtr> blocks) : blocks_(std::move(blocks)) {
    for (const HostBlockPtr& block : blocks_) size_ += block->size();
  }

  Iterator begin() const { return Iterator(&blocks_, 0); }
  Iterator end() const { return Iterator(&blocks_, blocks_.size()); }
  std::size_t size() const { return size_; }
  const std::vector<HostBlockPtr>& blocks() const { return blocks_; }

 private:
  std::vector<HostBlockPtr> blocks_;
  std::size_t size_ = 0;
};

struct RegistrySnapshot {
  // Grows with every change of the registry, refreshed registration times included.
  std::uint64_t version = 0;
  // Wall clock (seconds since 1970) when it was taken.
  std::int64_t takenAt = 0;
  // Per game type, in the registry's order: ascending key, then the fields' bytes.
  std::array<HostRange, kServerTypeCount> hosts;

  std::uint32_t totalCount() const {
    std::uint32_t total = 0;
    for (const auto& type : hosts) total += static_cast<std::uint32_t>(type.size());
    return total;
  }
};

using SnapshotPtr = std::shared_ptr<const RegistrySnapshot>;

}  // namespace dirserver
