// The one way changes of the registry leave the loop: every path that changes the registry runs
// its change through ChangePath::change(), which takes what changed and carries it on to the
// published snapshot, to the saver's log and to any further consumer; and from there to the
// checkpoints of the server list, their retries and the last one of the stop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "listing/snapshot_pieces.h"
#include "net/reactor.h"
#include "persist/list_saver.h"
#include "registry/server_context.h"
#include "server/save_policy.h"
#include "server/server_status.h"

namespace dirserver {

// Where a change came from. Consumers treat them differently: a change received from another node
// (Replicated) must never be sent on to the nodes again.
enum class ChangeOrigin : std::uint8_t {
  Request,     // a registration or shutdown on the game port
  Sweep,       // the expiry sweep
  Operator,    // an operator's removal, or a ban taking effect
  Replay,      // a log read back; reserved: loading replays the logs before the path is
               // attached, so that what loading restores is not taken for new changes
  Replicated,  // a change another node made
};

// A further reader of the changes, beside the published snapshot and the saver's log. Called on the
// loop's thread, once per change() that changed anything, after the pieces of the snapshot hold
// the changes and before they are published or handed to the saver.
using ChangeConsumer = std::function<void(std::span<const HostChange> changes, ChangeOrigin origin)>;

// Follows the registry's changes on the loop's thread. Each change() goes into the pieces of the
// snapshot at once; the pass publishes them as one snapshot when it ends (or sooner, when current()
// asks), so that no request answered later misses it. The changes of a pass go to the saver's log
// as one batch when the pass ends, after the answers it sent; a checkpoint of the registry follows
// when the logs have grown enough (SavePolicy), and a failed commit or checkpoint is tried again
// after a pause that doubles with each failure in a row.
class ChangePath {
 public:
  // `reactor`, `context`, `saver` and `status` must outlive the path. The saver's reports must
  // reach commitFinished() and checkpointFinished() on the reactor's thread.
  ChangePath(Reactor& reactor, ServerContext& context, Saver& saver, ServerStatus& status,
             SavePolicy policy = {});
  ChangePath(const ChangePath&) = delete;
  ChangePath& operator=(const ChangePath&) = delete;

  // Starts following the registry as loading left it: what loading put in is in the files already,
  // so it is no change. `logBytes` are in logs since the list in place; with `checkpointOwed`, a
  // checkpoint starts at once (after a start that replayed logs, or whose write-back failed). Call
  // once, before any change().
  void attach(std::uint64_t logBytes, bool checkpointOwed);

  // Runs `mutate`, which may change the registry, and then takes every change it made as changes
  // of `origin`; returns what `mutate` returns. The only way a change of the registry goes on.
  template <typename Mutate>
  decltype(auto) change(ChangeOrigin origin, Mutate&& mutate) {
    const Follow follow{*this, origin};
    return std::forward<Mutate>(mutate)();
  }

  // Removes every host for which `which` holds, whoever registered it, as an operator's change.
  // Returns how many went.
  std::uint32_t removeHosts(const std::function<bool(ServerType, const HostEntry&)>& which);

  // `consumer` is called with every change from now on (see ChangeConsumer).
  void addConsumer(ChangeConsumer consumer) { consumers_.push_back(std::move(consumer)); }

  // The snapshot published last, and the one that holds every change so far (published now if the
  // pass has not yet): what a list request is answered with.
  const PublishedPtr& published() const { return published_; }
  const PublishedPtr& current();

  // Makes the server list file hold the registry as it is now, complete without its logs: a
  // checkpoint starts at once, or right after the one in flight, whatever the logs' size and the
  // wait after a failed one. `done` is called on the reactor's thread when that checkpoint has
  // ended, with its outcome and the number of hosts it wrote. With `unpaced`, that checkpoint
  // writes at the disk's full speed, however the commits beside it fare.
  using CheckpointDone = std::function<void(SaveOutcome outcome, std::uint32_t hosts)>;
  void checkpointNow(CheckpointDone done, bool unpaced = false);

  // The save half of an orderly stop: writes a last checkpoint (after any in flight) that holds
  // every change, after which the saver removes the logs; then stops the reactor. No change may
  // come after it. With no log and no change, the reactor stops at once.
  void stop();
  bool stopping() const { return stopping_; }
  // Whether the last checkpoint before the stop holds every change.
  bool stoppedClean() const { return stoppedClean_; }

  // The saver's reports.
  void commitFinished(const CommitReport& report);
  void checkpointFinished(const CheckpointReport& report);

  ServerStatus& status() { return status_; }

 private:
  struct Follow {
    ChangePath& path;
    ChangeOrigin origin;
    ~Follow() { path.follow(origin); }
  };

  void follow(ChangeOrigin origin);
  void publishIfBehind();
  void handOver();
  void startCheckpointIfDue();

  Reactor& reactor_;
  ServerContext& context_;
  Saver& saver_;
  ServerStatus& status_;
  SavePolicy policy_;
  std::optional<SnapshotPieces> pieces_;  // from attach() on
  PublishedPtr published_;
  bool publishDeferred_ = false;
  std::vector<ChangeConsumer> consumers_;

  // Changes taken in this pass, with when they were acknowledged (and how many at that moment),
  // handed to the saver as one batch when the pass ends.
  std::vector<HostChange> batch_;
  std::vector<std::pair<SteadyClock::time_point, std::uint32_t>> batchAcks_;
  bool handOverDeferred_ = false;
  std::uint64_t lastBatch_ = 0;
  // Batches handed over and not yet durable, oldest first.
  struct Unconfirmed {
    std::uint64_t batch = 0;
    std::vector<std::pair<SteadyClock::time_point, std::uint32_t>> acks;
  };
  std::deque<Unconfirmed> unconfirmed_;
  unsigned commitFailures_ = 0;  // in a row
  Timer commitRetryTimer_;

  std::uint64_t logBytes_ = 0;
  bool checkpointInFlight_ = false;
  bool checkpointOwed_ = false;
  bool finalCheckpoint_ = false;     // the one in flight is the stop's
  unsigned checkpointFailures_ = 0;  // in a row
  Timer checkpointRetryTimer_;
  std::vector<CheckpointDone> checkpointsAsked_;   // for the next checkpoint to start
  bool unpacedAsked_ = false;  // by one of them
  std::vector<CheckpointDone> checkpointsSaving_;  // for the checkpoint in flight
  std::uint32_t hostsSaving_ = 0;
  bool stopping_ = false;
  bool stoppedClean_ = true;
};

}  // namespace dirserver
