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

// Follows the change path: each change of origin Request or Operator is published as the host's
// whole state (a removal as a tombstone); changes from the sweep, from replay and from the bucket
// are not. Applies the bucket's entries, in its order, as changes of origin Replicated: an entry
// equal to the local state changes nothing, a tombstone removes the host, and a host the registry
// has no room for (kMaxServers) is dropped with a line. The bucket's changes print no line each;
// those made by other nodes are counted per node and printed as one line every `summaryEvery`.
// Runs on the loop's thread; `reactor`, `context` and `changes` must outlive it.
class ClusterReplica {
 public:
  ClusterReplica(Reactor& reactor, ServerContext& context, ChangePath& changes,
                 std::string nodeName, PublishValue publish,
                 std::chrono::milliseconds summaryEvery = std::chrono::minutes(1));
  ClusterReplica(const ClusterReplica&) = delete;
  ClusterReplica& operator=(const ClusterReplica&) = delete;

  // Applies `entries` in order. `caughtUp`: they end the bucket's current values, said once on
  // the console.
  void apply(const std::vector<BucketEntry>& entries, bool caughtUp = false);

  // Entries for which `skip` holds are left out of apply(): the bucket's state of a host this
  // node has a newer change of waiting (see keepsLocalChange).
  void skipWhen(std::function<bool(const BucketEntry&)> skip) { skip_ = std::move(skip); }

  // The state this node publishes for `change`, stamped now.
  HostState stateOf(const HostChange& change) const;

  // Entries that changed the registry, per publishing node, since the last summary line.
  const std::map<std::string, std::uint64_t>& unreported() const { return unreported_; }

 private:
  void follow(std::span<const HostChange> changes, ChangeOrigin origin);
  bool applyOne(const HostState& state);
  void printSummary();

  Reactor& reactor_;
  ServerContext& context_;
  ChangePath& changes_;
  std::string nodeName_;
  PublishValue publish_;
  std::function<bool(const BucketEntry&)> skip_;
  std::chrono::milliseconds summaryEvery_;
  Timer summaryTimer_;
  std::map<std::string, std::uint64_t> unreported_;
  bool caughtUpOnce_ = false;
};

}  // namespace dirserver
