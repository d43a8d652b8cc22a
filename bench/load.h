// Loopback clients that drive a server with one request per connection, and the minimal server
// that the figures are compared with.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "client/client_socket.h"
#include "common/byte_order.h"
#include "latency.h"
#include "protocol/message.h"

namespace dirserver::bench {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

// 127.0.0.1 + n, in host byte order: the sources of hostile peers (127.0.0.2 upwards).
constexpr std::uint32_t loopbackAddress(std::uint32_t n = 0) { return INADDR_LOOPBACK + n; }

// What a correct answer to a request looks like.
struct Expectation {
  enum class Kind { Ack, Listing };
  Kind kind = Kind::Ack;
  // The listing's entry count (hosts + 4) lies in [minEntries, maxEntries]; a registry that
  // workloads grow or shrink meanwhile gives a range.
  std::uint16_t minEntries = 0;
  std::uint16_t maxEntries = 0;
};

// Checks a whole answer by its first bytes (up to kListReplyHeaderSize of them) and its total
// length: the 14-byte acknowledgement exactly, or a listing whose header carries its own length,
// type 3 and an entry count in the expected range. Returns what is wrong, or an empty text.
std::string checkAnswer(const Expectation& expect, ByteView head, std::uint64_t total);

// One workload: clients that each open a connection, send one request, read the answer until the
// server closes the connection, check it, and start over.
struct Workload {
  std::uint16_t port = 0;
  // The k-th unit of requests started (counted over all clients) is unit k % (the number of
  // units): `unitSize` consecutive requests from requests[that * unitSize] on, which one client
  // sends in order, each on a connection of its own (so a registration and the shutdown that
  // follows it always reach the server in that order). `requests` holds whole units...
  std::vector<Bytes> requests;
  std::size_t unitSize = 1;
  // ...unless `once` is set: then each unit is sent once and the workload ends when all are
  // answered.
  bool once = false;
  Expectation expect;
  unsigned clients = 1;
  // No unit starts after `budget`; those under way may go on for `drainLimit` more.
  Seconds budget{1};
  Seconds drainLimit{60};
  // Clients connect from this address (host byte order); 0 lets the system choose (127.0.0.1)...
  std::uint32_t source = 0;
  // ...unless `sources` is not empty: then requests[i] goes from sources[i].
  std::vector<std::uint32_t> sources{};
  // When set, no unit starts once it is true, whatever is left of the budget.
  const std::atomic<bool>* stop = nullptr;
  // Whether to keep, for each answered request, when its answer's first bytes arrived.
  bool keepAnswerTimes = false;
};

struct WorkloadResult {
  std::uint64_t completed = 0;   // answered correctly; only these have latency samples
  std::uint64_t failed = 0;      // refused, reset, or answered wrongly
  std::uint64_t unfinished = 0;  // still under way when the drain limit ran out
  double seconds = 0;            // from the start until the last request ended
  LatencySummary latency;        // connect to the server's close, in milliseconds
  std::string firstError;
  // With Workload::keepAnswerTimes: when each answered request's answer began to arrive, in no
  // particular order.
  std::vector<Clock::time_point> answerTimes;
  std::vector<double> samples;  // the latencies `latency` summarises, in no particular order

  double rate() const { return seconds > 0 ? static_cast<double>(completed) / seconds : 0; }
};

// Adds the results of one more run of a workload to `total`: the counts and the seconds add up
// (so the rate is that of the runs' time together, not of any pauses between them), the samples
// and answer times are pooled and summarised again, and the first error is kept.
void accumulate(WorkloadResult& total, const WorkloadResult& more);

// Runs a workload on `workload.clients` threads and waits for it to end, at most budget +
// drainLimit.
WorkloadResult runWorkload(const Workload& workload);

// The least any server can do per request, to compare with: one thread with blocking sockets on
// 127.0.0.1 and a free port that accepts a connection, reads a 12-byte header, sends the same
// answer to any request (by default the 14-byte acknowledgement) and closes the connection. Runs
// from construction to destruction.
class BaselineServer {
 public:
  explicit BaselineServer(Bytes answer = Bytes(kAckMessage.begin(), kAckMessage.end()));
  ~BaselineServer();
  BaselineServer(const BaselineServer&) = delete;
  BaselineServer& operator=(const BaselineServer&) = delete;

  std::uint16_t port() const { return port_; }

 private:
  void serve();

  Bytes answer_;
  Socket listener_;
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// The least a server built like dirserver can do to send a listing: one thread, non-blocking
// sockets and epoll on 127.0.0.1 and a free port. It reads a 12-byte header from each connection,
// sends `answer` (the listing's bytes, fetched once from the server) as fast as the peer takes it,
// serving every connection at once, and closes the connection. A peer that fails is dropped; there
// are no timeouts. Runs from construction to destruction; throws std::runtime_error when it cannot
// be set up.
class StaticServer {
 public:
  explicit StaticServer(Bytes answer);
  ~StaticServer();
  StaticServer(const StaticServer&) = delete;
  StaticServer& operator=(const StaticServer&) = delete;

  std::uint16_t port() const { return port_; }

 private:
  void serve();

  Bytes answer_;
  Socket listener_;
  Socket epoll_;
  Socket wake_;  // an eventfd that ends the thread
  std::uint16_t port_ = 0;
  std::thread thread_;
};

}  // namespace dirserver::bench
