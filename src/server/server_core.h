// The server core: every connection of the game port, from the first byte to the answer, their
// admission and the bounds on what peers may hold. Changes of the registry go through the
// ChangePath; the expiry sweep runs on a timer of its own (ExpirySweep). It runs on the reactor's
// thread, the only thread that touches the registry and the console.
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
#include "registry/ban_list.h"
#include "registry/server_context.h"
#include "server/expiry_sweep.h"
#include "server/loop_reports.h"
#include "server/server_status.h"

namespace dirserver {

class ChangePath;

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
  // The load balancers trusted to say whom they carry a connection for. A connection from one of
  // these addresses must begin with a PROXY header, read under the request's deadline, and is
  // from then on the connection of the address the header gives: its ban, its share of the slots
  // and the per-address bound are checked then, not at accept, and registration and shutdown go
  // by that address. A LOCAL header (the balancer's own health check) may ask only for the
  // acknowledgement or the listing; a header carrying a peer that is not IPv4 is closed. Senders
  // of other addresses are read as they are, a PROXY header being just bytes that are no request.
  std::vector<Ipv4Range> proxyFrom;
};

// Serves connections one request each: reads the frame (each step within its deadline, printing
// the step's line when it fails), dispatches the complete request, sends the answer within its
// deadline and closes the connection. Requests are handled one at a time, to completion; peers
// that are slow to send or to read hold only their own connection. Registrations, shutdowns and
// the expiry sweep change the registry at once, through the ChangePath, and are acknowledged at
// once; a list request is answered with the ChangePath's current snapshot, so that it holds every
// change made before it.
class ServerCore {
 public:
  // `reactor`, `context` and `changes` must outlive the core; `changes` must be attached.
  ServerCore(Reactor& reactor, ServerContext& context, ChangePath& changes,
             CoreSettings settings = {});
  ~ServerCore();
  ServerCore(const ServerCore&) = delete;
  ServerCore& operator=(const ServerCore&) = delete;

  // Starts accepting on `listenSocket`, which must be non-blocking and listening; the core does
  // not close it. May be called for several sockets: all are served alike.
  void listen(int listenSocket);

  // Serves `fd`, a connected non-blocking socket from the IPv4 `address` (network byte order), as
  // if the listener had just accepted it: reads at once, before waiting for readiness, since most
  // requests arrive with their connection. Over the per-address bound it is closed at once.
  void adopt(int fd, std::uint32_t address);

  // An orderly stop: stops accepting, drops every connection, stops the sweep (which prints what
  // it has not yet) and stops the change path (ChangePath::stop), which stops the reactor once its last checkpoint
  // is done. Returns at once.
  void stop();
  // Whether stop() has begun: the stop's last checkpoint is under way, and no change may follow it.
  bool stopping() const { return stopping_; }

  // What the control socket asks of the core; all of it on the reactor's thread.

  // Connections to the game port from an address (network byte order) for which `refused` holds
  // are closed at accept, before anything is read or sent, and counted as banned; a trusted
  // balancer's connection, once its header names the address. Empty: none is.
  void refuseFrom(std::function<bool(PeerAddress)> refused) { refused_ = std::move(refused); }

  // Closes the open connections, and removes the hosts, of every address that is refused now (a
  // new ban takes effect with it). Hosts of no known address are never removed. Returns the
  // number of hosts removed.
  std::uint32_t enforceRefusal();

  // Closes the open connections of every address that is refused now and leaves the registry as
  // it is: a ban that came from the cluster, whose hosts the node that banned them removes.
  void closeRefused();

  // Where the registry's changes go.
  ChangePath& changes() { return changes_; }

  // What the core holds now, for tests and the status counters.
  std::size_t connectionCount() const { return connections_.size() - closedCount_; }
  std::size_t connectionsFrom(std::uint32_t address) const;
  // Connections that hold a slot: all but those of balancers whose header is unread.
  std::size_t slotsTaken() const { return connectionCount() - awaitingHeader_; }
  std::size_t bodyBudgetInUse() const { return bodyBytes_; }
  std::size_t answerBudgetInUse() const { return answerBytes_; }
  ServerStatus& status() { return status_; }
  const ServerStatus& status() const { return status_; }

 private:
  class Connection;
  class Listener;

  void acceptConnections(Listener& listener);
  bool trustsProxy(std::uint32_t address) const;
  void adoptFromBalancer(int fd, std::uint32_t address);
  void proxyHeaderReceived(Connection& connection, std::size_t count);
  bool admitProxied(Connection& connection);
  void updateListening();
  void requestReceived(Connection& connection, std::size_t count);
  bool reserveBody(Connection& connection);
  void admitWaitingBodiesAtPassEnd();
  void admitWaitingBodies();
  void holdConsoleForPass();
  void dispatch(Connection& connection);
  void pin(Connection& connection);
  void releaseAnswer(Connection& connection);
  void shedOverBudgets();
  Connection* leastProgress(bool (*eligible)(const Connection&, const ServerCore&)) const;
  bool makeRoomFor(std::uint32_t address);
  void shed(Connection& connection);
  void close(Connection& connection);
  void closed(Connection& connection);
  void releaseClosed();
  void reportError(ConsoleError error);

  Reactor& reactor_;
  ServerContext& context_;
  ChangePath& changes_;
  CoreSettings settings_;
  ServerStatus& status_;
  std::vector<std::unique_ptr<Listener>> listeners_;
  bool acceptPaused_ = false;  // after a failed accept, until the pause timer fires
  std::vector<std::unique_ptr<Connection>> connections_;
  std::size_t closedCount_ = 0;  // closed, released at the end of the pass
  // Open connections of balancers whose header is unread.
  std::size_t awaitingHeader_ = 0;
  bool releaseDeferred_ = false;
  std::deque<Connection*> waitingForBudget_;  // in the order their headers arrived
  bool admissionDeferred_ = false;
  bool consoleHeld_ = false;  // the console's wake-ups, until the pass ends
  std::unordered_map<std::uint32_t, std::size_t> perAddress_;
  std::size_t bodyBytes_ = 0;    // large bodies buffered
  // Where the body's start is read along with its header: lent to one receive at a time, at most
  // freeBodyBytes, so that a body that waits for budget holds no more than a small one does.
  Bytes staging_;
  std::size_t answerBytes_ = 0;  // the listing pieces (and versions) pinned by unfinished answers
  // Unfinished connections per listing version they send, and versions per piece they hold.
  std::unordered_map<const PublishedSnapshot*, std::size_t> pinnedVersions_;
  std::unordered_map<const Bytes*, std::size_t> pinnedPieces_;
  std::size_t stalledCount_ = 0;  // connections whose answer once filled their send buffer
  ExpirySweep sweep_;
  RefusalReport refusals_;
  Timer acceptPauseTimer_;
  Heartbeat heartbeat_;
  std::function<bool(PeerAddress)> refused_;
  bool stopping_ = false;
};

}  // namespace dirserver
