// The server's one loop: every connection, every deadline and the expiry sweep, on one thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

#include "listing/list_reply.h"
#include "net/framing.h"
#include "registry/server_context.h"

namespace dirserver {

using SteadyClock = std::chrono::steady_clock;

// The loop's time limits and its bounds on what peers can hold. main uses the defaults; tests
// hand in short ones.
struct LoopSettings {
  // Each of a request's four read steps (size, id, type, body) must finish within this.
  std::chrono::milliseconds recvTimeout{30'000};
  // Sending one answer must finish within this.
  std::chrono::milliseconds sendTimeout{30'000};
  // The expiry sweep runs this often, whatever the traffic.
  std::chrono::milliseconds sweepInterval{60'000};
  // After an accept fails for want of descriptors or memory, accepting pauses this long.
  std::chrono::milliseconds acceptPause{1'000};
  // Connections open at once, in all and from one IPv4 address. A connection over the first
  // waits in the listen backlog; one over the second is closed at once with nothing sent.
  std::size_t maxConnections = 4096;
  std::size_t maxConnectionsPerAddress = 64;
  // A body of up to this many bytes is buffered as soon as its header is read...
  std::size_t freeBodyBytes = 16 * 1024;
  // ...larger ones share this budget, and a request whose body does not fit waits (its deadline
  // running) until enough of it is free.
  std::size_t bodyBudgetBytes = 64 * 1024 * 1024;
};

// Serves connections on a listening socket until stopped, one request per connection: reads the
// frame (each step within its deadline, printing the step's line when it fails), hands the
// complete request to handleConnection, sends the answer within its deadline and closes the
// connection. Requests are handled one at a time, to completion, on the calling thread; peers
// that are slow to send or to read hold only their own connection. The server list file is saved
// once at the end of each pass that handled a registration or shutdown, after their
// acknowledgements went out, so a burst of them costs one save rather than one each.
//
// The work of a pass grows with the connections that are ready or due, not with those that are
// merely open (epoll, deadlines kept in order).
class EventLoop {
 public:
  // `listenSocket` must be non-blocking and listening; the loop does not close it.
  EventLoop(int listenSocket, ServerContext& context, LoopSettings settings = {});
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Waits for the next event (at most until the nearest deadline or sweep) and handles what is
  // ready.
  void runOnce();

  // Runs until stop() is called.
  void run();

  // Makes run() return after the event at hand. The only member safe to call from another thread.
  void stop();

  // Whether the loop could be set up (its epoll instance exists); a loop that is not ready can
  // never serve anything.
  bool ready() const { return epoll_ >= 0; }

  std::size_t connectionCount() const { return connections_.size(); }
  // Bytes of large bodies being buffered now, against LoopSettings::bodyBudgetBytes.
  std::size_t bodyBudgetInUse() const { return budgetInUse_; }

 private:
  struct Connection;
  using Deadlines = std::multimap<SteadyClock::time_point, Connection*>;

  void acceptConnections(SteadyClock::time_point now);
  void updateListening(SteadyClock::time_point now);
  void readRequest(Connection& connection, SteadyClock::time_point now);
  bool reserveBody(Connection& connection);
  void admitWaitingBodies();
  void dispatch(Connection& connection, SteadyClock::time_point now);
  void sendAnswer(Connection& connection);
  void setDeadline(Connection& connection, SteadyClock::time_point deadline);
  void watch(int fd, void* tag, std::uint32_t events, bool& watched);
  void close(Connection& connection);
  void checkDeadlines(SteadyClock::time_point now);
  void sweepIfDue(SteadyClock::time_point now);

  int listenSocket_;
  ServerContext& context_;
  LoopSettings settings_;
  ListReplyCache listing_;
  int epoll_ = -1;
  std::vector<std::unique_ptr<Connection>> connections_;
  std::vector<Connection*> closed_;  // released at the end of the pass
  Deadlines deadlines_;
  std::deque<Connection*> waitingForBudget_;  // in the order their headers arrived
  std::unordered_map<std::uint32_t, std::size_t> perAddress_;
  std::size_t budgetInUse_ = 0;
  bool savePending_ = false;
  bool listening_ = false;
  std::uint64_t refusedConnections_ = 0;
  SteadyClock::time_point nextSweep_;
  SteadyClock::time_point acceptPausedUntil_{};
  int wakePipe_[2] = {-1, -1};
  bool wakeWatched_ = false;
  std::atomic<bool> stopping_{false};
};

// The server's loop with the fixed settings (the connection bound follows the descriptor limit).
// Never returns; ends the process with code 1 if the loop cannot be set up.
[[noreturn]] void serveForever(int listenSocket, ServerContext& context);

}  // namespace dirserver
