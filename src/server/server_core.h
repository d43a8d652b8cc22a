// The server core: every connection's request, from the first byte to the answer, the registry
// and its listing, the bounds on what peers may hold, the expiry sweep and when to save. It runs
// on the reactor's thread and is the only code that touches the registry and the console there.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

#include "listing/snapshot_pieces.h"
#include "net/reactor.h"
#include "persist/list_saver.h"
#include "registry/server_context.h"
#include "server/save_policy.h"
#include "server/server_status.h"

namespace dirserver {

// The core's time limits and its bounds on what peers can hold. main uses the defaults; tests
// hand in their own.
struct CoreSettings {
  // Each of a request's four read steps (size, id, type, body) must finish within this.
  std::chrono::milliseconds recvTimeout{30'000};
  // Sending one answer must finish within this.
  std::chrono::milliseconds sendTimeout{30'000};
  // The expiry sweep runs this often, whatever the traffic.
  std::chrono::milliseconds sweepInterval{60'000};
  // Connections refused or dropped are reported at most this often, in one line per kind.
  std::chrono::milliseconds warningInterval{60'000};
  // After an accept fails for want of descriptors or memory, accepting pauses this long.
  std::chrono::milliseconds acceptPause{1'000};
  // Connections open at once, in all and from one IPv4 address. One over the second is closed at
  // once with nothing sent. When all are taken, a newcomer from an address holding fewer than the
  // address that holds the most takes the place of that address's connection that has made the
  // least progress; a newcomer from the address holding the most is closed.
  std::size_t maxConnections = 4096;
  std::size_t maxConnectionsPerAddress = 64;
  // A body of up to this many bytes is buffered as soon as its header is read...
  std::size_t freeBodyBytes = 16 * 1024;
  // ...larger bodies and the answers being sent share this budget. A listing counts by its pieces:
  // each piece held by any unfinished connection counts once, however many versions of the
  // listing share it and whichever version is current. A request whose body does not fit waits
  // (its deadline running) until enough is free, and is admitted at the end of a pass, once the
  // connections that the pass closes have given back theirs; an answer always goes out, and when
  // the total passes the budget, the readers that have stalled longest on a listing that is no
  // longer current are dropped until it fits.
  std::size_t memoryBudgetBytes = 128 * 1024 * 1024;
  // The kernel's send buffer of each connection, fixed so that it cannot grow to megabytes for a
  // peer that does not read...
  int sendBufferBytes = 256 * 1024;
  // ...and the most kernel memory that such buffers of stalled readers may hold at once, each
  // counted at twice sendBufferBytes (what the kernel makes of it); over it, the reader that
  // stalled longest is dropped. A dropped reader's connection is reset, so that the kernel lets go
  // of what it still held for it.
  std::size_t stalledSendBytes = 256 * 1024 * 1024;
  // When the server list is written in whole, and how failed writes are tried again.
  SavePolicy saves;
};

// Serves connections one request each: reads the frame (each step within its deadline, printing
// the step's line when it fails), dispatches the complete request, sends the answer within its
// deadline and closes the connection. Requests are handled one at a time, to completion; peers
// that are slow to send or to read hold only their own connection. Registrations, shutdowns and
// the expiry sweep change the registry at once and are acknowledged at once. Every change reaches
// the registry's pieces (SnapshotPieces) as it happens, and the pass publishes them as one
// snapshot before any later request is answered: the listing sent, the JSON of the HTTP window and
// the snapshots of the server list are all made from it. The changes of each pass also go to the
// Saver's log in one batch once the pass has sent its answers, and a snapshot of the registry
// follows when the logs have grown enough (see SavePolicy).
class ServerCore {
 public:
  // `reactor`, `context` and `saver` must outlive the core. The saver's reports must reach
  // commitFinished() and snapshotFinished() on the reactor's thread.
  ServerCore(Reactor& reactor, ServerContext& context, Saver& saver, CoreSettings settings = {});
  ~ServerCore();
  ServerCore(const ServerCore&) = delete;
  ServerCore& operator=(const ServerCore&) = delete;

  // Starts accepting on `listenSocket`, which must be non-blocking and listening; the core does
  // not close it.
  void listen(int listenSocket);

  // Serves `fd`, a connected non-blocking socket from the IPv4 `address` (network byte order), as
  // if the listener had just accepted it: reads at once, before waiting for readiness, since most
  // requests arrive with their connection. Over the per-address bound it is closed at once.
  void adopt(int fd, std::uint32_t address);

  // An orderly stop: stops accepting, drops every connection, and writes a last snapshot (after
  // any in flight) that holds every change, after which the saver removes the logs. Once it is
  // done, stops the reactor. Returns at once.
  void stop();
  // Whether stop() has begun: the stop's last snapshot is under way, and no change may follow it.
  bool stopping() const { return stopping_; }
  // Whether the last snapshot before the stop holds every change.
  bool stoppedClean() const { return stoppedClean_; }

  // The saver's reports.
  void commitFinished(const CommitReport& report);
  void snapshotFinished(const SnapshotReport& report);

  // What loading left: `logBytes` in logs since the list in place; with `snapshotOwed`, a
  // snapshot starts at once (after a start that replayed logs, or whose write-back failed).
  void restored(std::uint64_t logBytes, bool snapshotOwed);

  // What the control socket asks of the core; all of it on the reactor's thread.

  // Connections to the game port from an address (network byte order) for which `refused` holds
  // are closed at accept, before anything is read or sent, and counted as banned. Empty: none is.
  void refuseFrom(std::function<bool(PeerAddress)> refused) { refused_ = std::move(refused); }

  // Closes the open connections, and removes the hosts, of every address that is refused now (a
  // new ban takes effect with it). Hosts of no known address are never removed. Returns the
  // number of hosts removed.
  std::uint32_t enforceRefusal();

  // Removes every host for which `which` holds, whoever registered it, as a change like any other:
  // logged and published. Returns how many went.
  std::uint32_t removeHosts(const std::function<bool(ServerType, const HostEntry&)>& which);

  // Makes the server list file hold the registry as it is now, complete without its logs: a
  // snapshot starts at once, or right after the one in flight, whatever the logs' size and the
  // wait after a failed one. `done` is called on the reactor's thread when that snapshot has
  // ended, with its outcome and the number of hosts it wrote.
  using SnapshotDone = std::function<void(SaveOutcome outcome, std::uint32_t hosts)>;
  void snapshotNow(SnapshotDone done);

  // What the core holds now, for tests and the status counters.
  std::size_t connectionCount() const { return connections_.size() - closedCount_; }
  std::size_t connectionsFrom(std::uint32_t address) const;
  std::size_t bodyBudgetInUse() const { return bodyBytes_; }
  std::size_t answerBudgetInUse() const { return answerBytes_; }
  std::size_t stalledSenders() const { return stalledCount_; }
  // The snapshot published last: what a list request is answered with.
  const PublishedPtr& published() const { return published_; }
  ServerStatus& status() { return status_; }
  const ServerStatus& status() const { return status_; }

 private:
  class Connection;
  class Listener;

  void acceptConnections();
  void updateListening();
  void readRequest(Connection& connection);
  bool reserveBody(Connection& connection);
  void admitWaitingBodiesAtPassEnd();
  void admitWaitingBodies();
  void dispatch(Connection& connection);
  void sendAnswer(Connection& connection);
  void pin(Connection& connection);
  void releaseAnswer(Connection& connection);
  void shedOverBudgets();
  Connection* leastProgress(bool (*eligible)(const Connection&, const ServerCore&)) const;
  bool makeRoomFor(std::uint32_t address);
  void shed(Connection& connection);
  void close(Connection& connection);
  void releaseClosed();
  void sweep();
  void printRefreshSummary();
  void reportRefusals();
  void followChanges();
  void handOver();
  void startSnapshotIfDue();
  void publishIfBehind();
  void heartbeat();
  void reportError(ConsoleError error, const char* line);

  Reactor& reactor_;
  ServerContext& context_;
  Saver& saver_;
  CoreSettings settings_;
  ServerStatus status_;
  SnapshotPieces pieces_;
  PublishedPtr published_;
  bool publishDeferred_ = false;
  std::unique_ptr<Listener> listener_;
  std::vector<std::unique_ptr<Connection>> connections_;
  std::size_t closedCount_ = 0;  // closed, released at the end of the pass
  bool releaseDeferred_ = false;
  std::deque<Connection*> waitingForBudget_;  // in the order their headers arrived
  bool admissionDeferred_ = false;
  std::unordered_map<std::uint32_t, std::size_t> perAddress_;
  std::size_t bodyBytes_ = 0;    // large bodies buffered
  std::size_t answerBytes_ = 0;  // the listing pieces (and versions) pinned by unfinished answers
  // Unfinished connections per listing version they send, and versions per piece they hold.
  std::unordered_map<const PublishedSnapshot*, std::size_t> pinnedVersions_;
  std::unordered_map<const Bytes*, std::size_t> pinnedPieces_;
  std::size_t stalledCount_ = 0;  // connections whose answer once filled their send buffer
  std::uint64_t refusedConnections_ = 0;
  std::uint64_t refusedWhileFull_ = 0;
  std::uint64_t shedConnections_ = 0;
  Timer sweepTimer_;
  Timer warningTimer_;
  Timer acceptPauseTimer_;
  Timer commitRetryTimer_;
  Timer snapshotRetryTimer_;
  Timer heartbeatTimer_;
  std::function<bool(PeerAddress)> refused_;
  std::vector<SnapshotDone> snapshotsAsked_;   // for the next snapshot to start
  std::vector<SnapshotDone> snapshotsSaving_;  // for the snapshot in flight
  std::uint32_t hostsSaving_ = 0;
  bool stopping_ = false;
  bool stoppedClean_ = true;

  // Changes taken from the registry in this pass, with when they were acknowledged (and how many
  // at that moment), handed to the saver as one batch when the pass ends.
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
  std::uint64_t logBytes_ = 0;
  bool snapshotInFlight_ = false;
  bool snapshotOwed_ = false;
  bool finalSnapshot_ = false;  // the one in flight is the stop's
  unsigned snapshotFailures_ = 0;  // in a row
};

}  // namespace dirserver
