// The HTTP window on the directory: a small web server on threads of its own that serves the
// status page, the listing as JSON, metrics and a health check. It never touches the registry or
// the console: everything it shows comes from a ServerStatus (the latest published snapshot and
// atomic counters), so nothing it does can hold up the game port's loop.
//
//   GET /              the status page (static HTML; its script fetches /servers.json)
//   GET /servers.json  the listing, cached per snapshot version, ETag and If-None-Match
//   GET /metrics       Prometheus text format
//   GET /healthz       200 or 503 with a one-line reason
//
// HEAD is served like GET without the body; any other method gets 405.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "server/server_status.h"

namespace httplib {
class Server;
}

namespace dirserver {

// An IPv4 address and a TCP port to listen on.
struct HttpAddress {
  std::string host;  // dotted quad
  std::uint16_t port = 0;  // 0: any free port
};

// The version the metrics and the page report.
std::string_view dirserverVersion();

struct HttpSettings {
  // Requests served at once; each holds one thread.
  std::size_t threads = 4;
  // Accepted connections waiting for a thread; when they are this many, the server accepts no more
  // and new ones wait in the kernel's listen queue.
  std::size_t queuedConnections = 32;
  // Each wait for a request's bytes, and each wait to send.
  std::chrono::seconds readTimeout{5};
  std::chrono::seconds writeTimeout{5};
  // A kept-alive connection is closed after this long without a request, or after this many
  // requests.
  std::chrono::seconds keepAliveTimeout{2};
  std::size_t keepAliveRequests = 100;
  // The nice value of the window's threads (0 to 19): above the loop's, so that on a busy machine
  // the game port is served first and HTTP clients wait.
  int niceness = 10;
  // How long the loop may be silent before /healthz says 503.
  std::chrono::milliseconds maxLoopSilence{5000};
  // The clocks: wall seconds since 1970 and steady milliseconds, as ServerStats counts them.
  // Replaced by tests; must be safe to call from any thread.
  std::function<std::int64_t()> wallSeconds;
  std::function<std::int64_t()> steadyMilliseconds;
};

// The most descriptors a window of `settings` holds at once: its listener, the connections being
// served and queued, and the one its accepting thread holds while the queue is full.
std::uint64_t httpDescriptors(const HttpSettings& settings);

// Serves the four endpoints from a ServerStatus. Use: bind(), then start(status); stop() (or the
// destructor) ends it and joins its threads.
class HttpServer {
 public:
  explicit HttpServer(HttpSettings settings = {});
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds `address`. Returns false with `error` set when the address cannot be had.
  bool bind(const HttpAddress& address, std::string& error);
  // The bound port (the chosen one when bound to port 0).
  std::uint16_t port() const { return port_; }
  // Serves from `status`, which must outlive the serving, on threads of its own until stop().
  // Requires a successful bind().
  void start(const ServerStatus& status);
  // Stops accepting, lets requests under way finish (each bounded by the timeouts) and joins
  // every thread. Safe to call more than once.
  void stop();

 private:
  struct Views;

  void route();

  const ServerStatus* status_ = nullptr;  // set by start(), before any thread reads it
  HttpSettings settings_;
  std::unique_ptr<httplib::Server> server_;
  std::unique_ptr<Views> views_;
  std::uint16_t port_ = 0;
  std::thread thread_;
};

}  // namespace dirserver
