// What the loop thread publishes for readers on other threads (the HTTP views): the latest
// registry snapshot, counters, and the facts a health check needs. Every member is safe to read
// from any thread; only the loop thread writes.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

#include "cluster/cluster_status.h"
#include "common/histogram.h"
#include "protocol/outcome.h"
#include "registry/registry_snapshot.h"

namespace dirserver {

// Request types as counted: list, registration, shutdown, ack, anything else.
enum class RequestKind : std::uint8_t { List, Registration, Shutdown, Ack, Other, Count };

struct ServerStats {
  using Counter = std::atomic<std::uint64_t>;

  std::array<std::array<Counter, static_cast<std::size_t>(RequestOutcome::Count)>,
             static_cast<std::size_t>(RequestKind::Count)>
      requests{};
  std::array<Counter, static_cast<std::size_t>(ConsoleError::Count)> errors{};
  // How long the loop took to handle a complete request, from its last byte to its answer handed
  // to the kernel, by kind.
  std::array<LatencyHistogram, static_cast<std::size_t>(RequestKind::Count)> requestSeconds{};

  Counter connectionsOpen{0};
  Counter connectionsAccepted{0};
  Counter connectionsRefused{0};  // over a per-address bound
  Counter connectionsShed{0};     // dropped to make room or to keep within a budget
  Counter connectionsBanned{0};   // closed at accept: the address is banned

  Counter bans{0};              // banned ranges in force
  Counter banRemovals{0};       // hosts removed because their address was banned
  Counter operatorRemovals{0};  // hosts removed by the operator's remove command

  Counter bodyBudgetInUse{0};    // bytes
  Counter answerBudgetInUse{0};  // bytes

  // Checkpoints: whole server lists written.
  Counter savesDone{0};
  Counter savesFailed{0};
  Counter lastSaveMicroseconds{0};
  std::atomic<std::int64_t> lastSaveFinishedAt{0};  // wall clock seconds; 0: none yet
  std::atomic<bool> lastSaveFailed{false};
  LatencyHistogram checkpointTime;
  // Commits: changes appended to the log and synced.
  Counter commitsDone{0};
  Counter commitsFailed{0};
  std::atomic<bool> lastCommitFailed{false};
  std::atomic<bool> savePending{false};  // an acknowledged change is not yet durable
  Counter changesPending{0};             // how many
  Counter logBytes{0};                   // what the logs since the list in place hold
  Counter bytesWritten{0};               // by commits and checkpoints
  LatencyHistogram commitTime;
  LatencyHistogram ackToDurable;         // from a change's acknowledgement to its commit

  Counter listingBytes{0};  // size of the current listing reply
  Counter hostBytes{0};     // bytes of every host's stored strings (the --max-host-bytes bound)
  Counter sweepRemovals{0};
  // Per-address rate buckets (new hosts, listings) dropped from a full table before they refilled.
  Counter rateBucketsLost{0};
  Counter consoleLinesDropped{0};  // console lines dropped while the streams did not keep up

  std::atomic<std::int64_t> startedAt{0};       // wall clock seconds
  std::atomic<std::int64_t> loopAliveAtMs{0};   // steady clock milliseconds of the loop's last pass

  void count(RequestKind kind, RequestOutcome outcome) {
    requests[static_cast<std::size_t>(kind)][static_cast<std::size_t>(outcome)].fetch_add(
        1, std::memory_order_relaxed);
  }
  void count(ConsoleError error) {
    errors[static_cast<std::size_t>(error)].fetch_add(1, std::memory_order_relaxed);
  }
};

// The latest snapshot, handed from the loop thread to readers.
class SnapshotPublisher {
 public:
  void publish(SnapshotPtr snapshot) {
    {
      std::lock_guard lock(mutex_);
      latest_.swap(snapshot);
    }
    // The one it replaces, if no reader holds it, goes here, with the lock free for readers.
  }
  // Null until the first publish.
  SnapshotPtr latest() const {
    std::lock_guard lock(mutex_);
    return latest_;
  }

 private:
  mutable std::mutex mutex_;
  SnapshotPtr latest_;
};

// Everything the loop publishes.
struct ServerStatus {
  ServerStats stats;
  SnapshotPublisher snapshots;
  ClusterStatus cluster;  // cluster mode's figures; cluster.enabled false without it
};

}  // namespace dirserver
