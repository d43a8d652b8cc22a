// What cluster mode tells readers on other threads (the HTTP window's /metrics and /healthz, the
// control socket's status): whether the node reaches NATS, what it published and applied, what
// waits in its outbox, and how long changes take to be replicated. The link's threads and the loop
// write it, each figure from one place; any thread reads it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "common/histogram.h"

namespace dirserver {

struct ClusterStatus {
  using Counter = std::atomic<std::uint64_t>;

  // Set once at start, before any thread that reads them starts; never changed after.
  bool enabled = false;  // false: a single node, and nothing below is shown anywhere
  std::string nodeName;
  std::string bucket;

  // The bucket's copies as the bucket reports them once the node has opened it (the option's
  // value until then: it counts only when this node creates the bucket).
  std::atomic<int> replicas{0};
  std::atomic<bool> connected{false};

  Counter published{0};  // values handed to NATS for the bucket
  Counter confirmed{0};  // of them, stored by the bucket (its acknowledgement came back)
  Counter failed{0};     // not sent, not confirmed in time, or refused by the bucket
  Counter applied{0};    // the bucket's values this node took in, its own included
  Counter outboxChanges{0};  // changes waiting in the outbox for the bucket's confirmation

  std::atomic<std::uint64_t> lastAppliedRevision{0};  // 0: none yet
  // The apply lag of the last change applied as it happened; negative: none yet.
  std::atomic<std::int64_t> lastApplyLagMicroseconds{-1};

  // From a change's acknowledgement (its time stamp) to the bucket's confirmation of it. Filled
  // by the link's threads, one at a time.
  LatencyHistogram ackToReplicated;
  // From a change's publication (its time stamp) to its application here, by this node's wall
  // clock; filled by the loop.
  LatencyHistogram applyLag;

  // The NATS server the node is connected to (its URL), or empty while it is not.
  void setServer(std::string url) {
    const std::lock_guard lock(mutex_);
    server_ = std::move(url);
  }
  std::string server() const {
    const std::lock_guard lock(mutex_);
    return server_;
  }

 private:
  mutable std::mutex mutex_;
  std::string server_;
};

}  // namespace dirserver
