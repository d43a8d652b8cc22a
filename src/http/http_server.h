// The HTTP window on the directory: a small web server that serves the status page, the listing
// as JSON, metrics and a health check. It never touches the registry or the console: everything
// it shows comes from a ServerStatus (the latest published snapshot and atomic counters), so
// nothing it does can hold up the game port's loop.
//
//   GET /              the status page (static HTML; its script fetches /servers.json)
//   GET /servers.json  the listing, plain or gzip, built once per snapshot version; ETag per form
//   GET /metrics       Prometheus text format
//   GET /healthz       200 or 503 with a one-line reason
//
// HEAD is served like GET without the body; any other method gets 405.
//
// One thread serves every connection from an epoll loop (GNU libmicrohttpd), so a slow or idle
// client holds only its own connection; a second thread encodes each new snapshot's JSON and its
// gzip form while /servers.json is asked for, so that its answers do not wait for an encoding, and
// encodes nothing while nobody asks; a third resumes requests that waited too long for one.
#pragma once

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "common/clock.h"
#include "server/server_status.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace dirserver {

// An IPv4 address and a TCP port to listen on.
struct HttpAddress {
  std::string host;  // dotted quad
  std::uint16_t port = 0;  // 0: any free port
};

// The version the metrics and the page report.
std::string_view dirserverVersion();

// The window's bounds and clocks. Every descriptor the window may hold is counted here:
// maxConnections, the listening socket and the library's epoll and wake-up descriptors
// (kHttpDescriptorsBesideConnections).
struct HttpSettings {
  // Connections served at once, in all. A newcomer at the bound sheds the connection that has
  // waited longest without a whole request (a client still sending its headers, or a kept-alive
  // one between requests), as the game port's slots do, so that clients that trickle their
  // requests can never fill the window: a monitor's /healthz, sent whole, always gets in and is
  // answered at once. Only when every connection has its request (its answer on the way) is the
  // newcomer closed instead. A shed connection is closed within the serving thread's next pass;
  // until then up to kHttpConnectionsClosing more may be open, after which newcomers wait in the
  // listen queue (listenBacklog long; beyond it the kernel drops their attempts, which their TCP
  // retries).
  std::size_t maxConnections = 512;
  // Connections open at once from one IP address; a newcomer over it is closed at once.
  std::size_t maxConnectionsPerAddress = 32;
  std::size_t listenBacklog = 128;
  // Memory for one connection's request line, headers and answer headers (bodies are sent from
  // the shared listing, not copied). A request that does not fit gets 414 or 431 (400 for a
  // malformed one) and the connection is closed.
  std::size_t connectionMemory = 32 * 1024;
  // A connection is closed after this long without a byte either way. A client that trickles
  // bytes keeps its connection (the library has no bound on a whole request's time) until a
  // newcomer sheds it (see maxConnections).
  std::chrono::seconds idleTimeout{10};
  // The nice value of the window's threads (0 to 19): above the loop's, so that on a busy machine
  // the game port is served first and HTTP clients wait.
  int niceness = 10;
  // How long the loop may be silent before /healthz says 503.
  std::chrono::milliseconds maxLoopSilence{5000};
  // How often the builder looks for a new snapshot while it follows them (a request that finds
  // the listing behind the latest snapshot also wakes it).
  std::chrono::milliseconds listingPoll{50};
  // How long after a /servers.json request the builder keeps encoding every new snapshot. Past it
  // the builder sleeps, whatever the registry does, and the next request waits for an encoding of
  // the snapshot of its arrival (see listingWait). A minute keeps pollers that ask every few
  // seconds (the status page asks every 10) answered at once, while a registry that changes
  // flat out costs nothing once nobody reads the listing.
  std::chrono::milliseconds listingDemand{60'000};
  // How long a request that found the listing older than the latest snapshot, while the builder
  // slept, waits for the builder; past it, it gets the newest listing there is (503 before the
  // first). Longer than an encoding at the registry's cap takes on a busy machine (some 3 s).
  std::chrono::milliseconds listingWait{5'000};
  // The clock: wall seconds for dates, steady milliseconds as ServerStats counts them. Replaced by
  // tests; must be safe to read from any thread and outlive the server.
  const Clock* clock = &systemClock();
};

// Connections shed at the bound that may still be open, beside maxConnections.
inline constexpr std::size_t kHttpConnectionsClosing = 16;

// Descriptors the window holds besides its maxConnections connections: those shed but not yet
// closed, the listening socket, the library's epoll descriptor and its wake-up descriptor.
inline constexpr std::size_t kHttpDescriptorsBesideConnections = kHttpConnectionsClosing + 3;

// Takes one console line (with its line end) from a thread of the window and hands it to the
// thread that prints. Must be safe to call from any thread.
using ConsoleLineSink = std::function<void(std::string)>;

// Serves the four endpoints from a ServerStatus. Use: bind(), then start(); stop() (or the
// destructor) ends it and joins its threads.
class HttpServer {
 public:
  explicit HttpServer(HttpSettings settings = {});
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds `address` (not yet listening). Returns false with `error` set ("cannot listen on
  // HOST:PORT: REASON") when the address is not an IPv4 address or cannot be had.
  bool bind(const HttpAddress& address, std::string& error);
  // The bound port (the chosen one when bound to port 0).
  std::uint16_t port() const { return port_; }
  // Listens and serves from `status`, which must outlive the serving, on threads of its own until
  // stop(); they start with SIGTERM, SIGINT and SIGHUP blocked, so that they never take a signal
  // meant for the loop. The library's own messages (a failed accept, a refused connection) become
  // "+warning: http: ..." lines handed to `lines` (at most 10 per 10 s; the number left out is
  // told with the next). Requires a successful bind(). Returns false with `error` set when the
  // window cannot start; nothing then runs.
  bool start(const ServerStatus& status, ConsoleLineSink lines, std::string& error);
  // Closes every connection at once, whatever its client is doing (one waiting for an encoding
  // too), and joins the threads; an encoding under way is let finish first (some 0.4 s per 10,000
  // hosts). Safe to call more than once.
  void stop();
  // Encodings of the listing made so far.
  std::uint64_t listingEncodings() const { return encodings_.load(std::memory_order_relaxed); }

 private:
  struct Views;
  friend struct HttpCallbacks;  // the library's callbacks, in http_server.cc

  struct Window;

  // A request for /servers.json that waits, its connection suspended, for an encoding of at
  // least `version` (the latest snapshot's at its arrival), until `deadlineMs` (steady clock).
  struct Parked {
    MHD_Connection* connection;
    std::uint64_t version;
    std::int64_t deadlineMs;
  };

  // Answers one request on the serving thread; false when the connection should be closed.
  // Sets `parked` when, instead, the request waits for an encoding (see park()); `resumed`: it
  // waited and is answered now, with what there is.
  bool serve(MHD_Connection* connection, std::string_view url, std::string_view method,
             bool resumed, bool& parked);
  // Turns one message of the library into a console line, within the rate bound.
  void report(std::string message);
  // The builder's thread: while a /servers.json request came within listingDemand, encodes each
  // new snapshot and resumes the requests it satisfies; otherwise sleeps until a request wakes it.
  void buildListings();
  void wakeBuilder();
  // Whether the builder follows every snapshot at `nowMs`: a request came within listingDemand
  // and the builder has made a pass since it woke.
  bool following(std::int64_t nowMs) const;
  // Suspends the request on `connection` (from its handler) until an encoding of `version` or
  // newer is made, its deadline passes, or the window stops. False, with nothing suspended, when
  // such an encoding exists by now or the window stops.
  bool park(MHD_Connection* connection, std::uint64_t version, std::int64_t nowMs);
  // Resumes the parked requests that an encoding of `version` satisfies.
  void resumeSatisfied(std::uint64_t version);
  // The deadline thread: resumes each parked request whose deadline has passed.
  void expireParked();

  const ServerStatus* status_ = nullptr;  // set by start(), before any thread reads it
  HttpSettings settings_;
  std::unique_ptr<Views> views_;
  std::unique_ptr<Window> window_;  // the serving thread's alone
  ConsoleLineSink lines_;
  int listenSocket_ = -1;
  std::uint16_t port_ = 0;
  MHD_Daemon* daemon_ = nullptr;
  bool priorityLowered_ = false;  // the serving thread's alone

  std::mutex reportMutex_;  // guards the three below
  std::int64_t reportWindowStartMs_ = 0;
  unsigned reportsInWindow_ = 0;
  std::uint64_t reportsLeftOut_ = 0;

  std::mutex builderMutex_;
  std::condition_variable builderWake_;
  bool builderWanted_ = false;   // guarded by builderMutex_
  bool builderStopping_ = false; // guarded by builderMutex_
  std::thread builder_;
  // The steady clock's milliseconds at the latest /servers.json request; kNoDemand before one.
  static constexpr std::int64_t kNoDemand = INT64_MIN;
  std::atomic<std::int64_t> lastDemandMs_{kNoDemand};
  // The builder has made a pass since demand woke it; false while it sleeps.
  std::atomic<bool> caughtUp_{false};
  std::atomic<std::uint64_t> encodings_{0};

  // Suspended requests. Guarded by parkMutex_, under which a connection is suspended and resumed,
  // so that none is resumed before it is suspended nor suspended after the stop resumed the rest.
  std::mutex parkMutex_;
  std::condition_variable parkWake_;
  std::list<Parked> parked_;  // by arrival, so by deadline
  bool parkClosed_ = false;   // the window stops: nothing parks any more
  std::thread expirer_;
};

}  // namespace dirserver
