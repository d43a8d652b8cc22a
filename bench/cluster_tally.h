// What the cluster benchmark concludes from what its clients saw: how long a host acknowledged by
// one node took to be listed by each other node, and which acknowledged changes a kill lost. No
// sockets and no clock of its own: the callers hand in names, nodes and time points.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace dirserver::bench {

using ClusterClock = std::chrono::steady_clock;

// The lag from a host's acknowledgement on one node to the first listing of each other node that
// holds it. Probes are the hosts watched for; a listing may hold any number of other hosts. Safe
// to use from several threads: the prober records acknowledgements while each node's list client
// records what it fetched.
class LagBook {
 public:
  // `nodes` nodes, numbered from 0.
  explicit LagBook(int nodes) : nodes_(nodes) {}

  // Probe `name` is about to be registered with node `origin`: from now on listings are searched
  // for it. Call before sending, so that a listing that shows it before its acknowledgement is
  // recorded (the threads' order, not the cluster's) still counts.
  void sending(const std::string& name, int origin);
  // Probe `name` was acknowledged at `at`. A probe never acknowledged has no lag.
  void acknowledged(const std::string& name, ClusterClock::time_point at);

  // Node `node` sent a listing that holds the hosts `names` (in any order), complete at `at`.
  // For every probe of another node first seen here, this is its sighting on `node`; one seen
  // before its acknowledgement was recorded has a lag of 0.
  void listed(int node, ClusterClock::time_point at, const std::vector<std::string>& names);

  // The lags in milliseconds of the probes other nodes acknowledged, as node `node` first listed
  // them; with `node` -1, of every node.
  std::vector<double> lags(int node = -1) const;

  // Sightings still missing: for each acknowledged probe, the other nodes that have not listed it.
  std::size_t unseen() const;

 private:
  struct Probe {
    int origin = -1;
    bool acknowledged = false;
    ClusterClock::time_point ackedAt{};
    // Per node, when its first listing holding the probe completed (or nothing yet).
    std::vector<ClusterClock::time_point> seen;
    std::vector<bool> wasSeen;
  };
  Probe& probe(const std::string& name);

  int nodes_;
  mutable std::mutex mutex_;
  std::map<std::string, Probe> probes_;
};

// What the change streams last did to one host, as the benchmark's client saw it.
struct HostFate {
  bool present = false;  // after the last acknowledged change: registered, or shut down
  // Whether the last request about it was acknowledged: a request whose answer never came (its
  // node killed, say) leaves the host in doubt, and it is not judged.
  bool settled = true;
  int node = -1;  // the node that acknowledged that change
  ClusterClock::time_point ackedAt{};
};

// What was killed: a node (`node` from 0) or, with `node` -1, a NATS server.
struct KillVictim {
  int node = -1;
  ClusterClock::time_point killedAt{};
  // The killed node's commit in flight: a change it acknowledged at most this long before the
  // kill may not have been durable yet.
  ClusterClock::duration inFlight{};
};

struct KillTally {
  std::uint64_t judged = 0;    // hosts whose last change was acknowledged
  std::uint64_t lost = 0;      // acknowledged, and every node lists the host as if it never came
  std::uint64_t inFlight = 0;  // of those, the killed node's within its commit in flight
  std::uint64_t lostShutdowns = 0;  // of the lost outside the commit in flight, shutdowns
  std::uint64_t diverged = 0;  // listed rightly by some nodes and not by others
  std::vector<double> inFlightAges;  // ack to kill, milliseconds, of the lost in flight
  std::vector<double> lostAges;      // ack to kill, milliseconds, of the others lost
  std::set<int> lostBy;              // the nodes that acknowledged the others lost

  bool converged() const { return lost == 0 && diverged == 0; }
};

// Judges every settled host of `fates` against the hosts each node lists (`listed[i]` the names
// node i lists). A change is lost when no node lists the host as it left it: a registration
// listed by none, a shutdown whose host every node still lists. A lost change the victim node
// acknowledged within its commit in flight before the kill counts as in flight.
KillTally tallyKill(const std::map<std::string, HostFate>& fates,
                    const std::vector<std::set<std::string>>& listed, const KillVictim& victim);

// The p50 and p99 of the histogram `family` over a window, from the /metrics samples of each node
// before and after it (before[i] and after[i] of node i, as parseMetrics gives them), the counts
// the nodes gained in the window pooled: "<= 5.00 / <= 25.0", the upper bounds in milliseconds of
// the buckets the quantiles fall in; "-" when nothing was observed in the window; "n/a" when no
// node's samples after it have the histogram at all (a server without it).
std::string windowQuantilesCell(const std::vector<std::map<std::string, double>>& before,
                                const std::vector<std::map<std::string, double>>& after,
                                const std::string& family);

}  // namespace dirserver::bench
