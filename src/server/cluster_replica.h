// The loop's side of a directory cluster: what this node changes goes out to the bucket, and what
// the bucket holds comes in, both through the change path.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "cluster/host_state.h"
#include "cluster/nats_link.h"
#include "net/reactor.h"
#include "registry/server_context.h"
#include "server/change_path.h"

namespace dirserver {

// Hands a key and its value to whatever publishes them (NatsLink::publish); must not wait.
using PublishValue = std::function<void(std::string key, Bytes value)>;

// The hosts a node of a cluster keeps free below the registry's bound for the bucket's new hosts:
// a node admits new hosts of its own only while it holds fewer than kMaxServers minus this. Every
// node decides on its own view, which lacks what the others admitted within the last convergence
// lag (milliseconds) and what they swept at a moment of their own; that difference must fit in the
// margin for every node to apply every add. 1,024 hosts is 1.6% of the bound and far more new
// hosts than a game registers within a lag.
inline constexpr std::uint32_t kClusterHostMargin = 1024;

// How far a peer's time stamps may be from this node's clock before a line says so.
inline constexpr std::int64_t kClockSkewWarnSeconds = 60;

// How a node's replica prints and bounds what it applies.
struct ReplicaSettings {
  // How often the changes made by other nodes are summed up on the console.
  std::chrono::milliseconds summaryEvery = std::chrono::minutes(1);
  // The hosts the registry may hold: a new host from the bucket beyond it is dropped.
  std::uint32_t bound = kMaxServers;
  // A line for every change made by another node instead of the summary (--console full).
  bool printEveryChange = false;
};

// Follows the change path: each change of origin Request or Operator is published as the host's
// whole state (a removal as a tombstone); changes from the sweep, from replay and from the bucket
// are not. Applies the bucket's entries, in its order, as changes of origin Replicated: an entry
// equal to the local state changes nothing, a tombstone removes the host, and a host the registry
// has no room for (settings.bound) is dropped with a line. Times from the future (a peer's clock
// ahead of this one) count as now. The changes made by other nodes are counted per node and
// printed as one line every settings.summaryEvery, or each as a line of its own with
// settings.printEveryChange. A peer whose time stamps are more than kClockSkewWarnSeconds off this
// node's clock is named in a warning, at most once a minute per peer: a stamp ahead of now always
// counts; one behind counts only in a value the bucket stored within the last ten seconds (by its
// own stamp of the put), since values published long ago come again whenever the watcher starts.
// Runs on the loop's thread; `reactor`, `context` and `changes` must outlive it.
class ClusterReplica {
 public:
  ClusterReplica(Reactor& reactor, ServerContext& context, ChangePath& changes,
                 std::string nodeName, PublishValue publish, ReplicaSettings settings = {});
  ClusterReplica(const ClusterReplica&) = delete;
  ClusterReplica& operator=(const ClusterReplica&) = delete;

  // Applies `entries` in order. `caughtUp`: they end the bucket's current values, said once on
  // the console.
  void apply(const std::vector<BucketEntry>& entries, bool caughtUp = false);

  // Entries for which `skip` holds are left out of apply(): the bucket's state of a host this
  // node has a newer change of waiting (see keepsLocalChange).
  void skipWhen(std::function<bool(const BucketEntry&)> skip) { skip_ = std::move(skip); }

  // What apply() takes in goes to `status` (which must outlive the replica): the entries applied,
  // the last revision handed over, and for a live entry (BucketEntry::live) its apply lag, from
  // its time stamp to now by this node's wall clock; a stamp ahead of now (a peer's clock ahead of
  // this one) counts as a lag of 0.
  void reportTo(ClusterStatus* status) { status_ = status; }

  // The state this node publishes for `change`, stamped now.
  HostState stateOf(const HostChange& change) const;

  // Entries that changed the registry, per publishing node, since the last summary line.
  const std::map<std::string, std::uint64_t>& unreported() const { return unreported_; }

 private:
  enum class Applied : std::uint8_t { Nothing, Added, Updated, Removed };

  void follow(std::span<const HostChange> changes, ChangeOrigin origin);
  Applied applyOne(const HostState& state);
  void checkClock(const BucketEntry& entry);
  void count(const BucketEntry& entry);
  void printSummary();

  Reactor& reactor_;
  ServerContext& context_;
  ChangePath& changes_;
  std::string nodeName_;
  PublishValue publish_;
  ReplicaSettings settings_;
  std::function<bool(const BucketEntry&)> skip_;
  ClusterStatus* status_ = nullptr;
  Timer summaryTimer_;
  std::map<std::string, std::uint64_t> unreported_;
  // Per peer: when its clock was last said to be off, on the loop's clock.
  std::map<std::string, SteadyClock::time_point> clockWarned_;
  bool caughtUpOnce_ = false;
};

}  // namespace dirserver
