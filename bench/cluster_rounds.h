// The cluster benchmark's rounds on loopback: the heartbeat workload spread over the nodes, and
// kills of a NATS server and of a node in the middle of a stream of changes. Each round starts its
// own nodes of the real executable (the recipe's command line, a bucket of the round's own) on the
// NATS servers it is given, and prints its table.
#pragma once

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "support/nats_cluster.h"

namespace dirserver::bench {

struct ClusterRoundOptions {
  int nodes = 3;
  double heartbeatSeconds = 8;  // the workload's window
  int probesPerSecond = 5;      // new hosts each node registers a second, to measure the lag by
  int killRounds = 1;           // rounds of each kind
  int settleSeconds = 45;       // the longest wait, after a kill round, for the nodes to agree
};

// The heartbeat workload at `hosts` hosts: they register through the nodes (host i through node
// i mod N, from an address it keeps), then for the window every host registers again once per
// period (60 s below 10,000 hosts, 300 s from there) through its node, each node registers
// probesPerSecond new hosts (each shutting down its one before), and an acknowledgement client
// and a list client run flat out on each node. Prints per node and in all: changes, acknowledgements
// and listings per second, the lag from a probe's acknowledgement to the first listing of each
// other node that holds it, and ack-to-replicated p50/p99 from each node's /metrics ("n/a" where
// the node has no such histogram). `recipe` is the node's command line without its address and
// name. Returns false, with a line on standard error, when the nodes did not start or the fill
// failed; `stopped` cuts it short.
bool runClusterHeartbeat(const std::vector<std::string>& recipe,
                         const std::filesystem::path& dir, std::size_t hosts,
                         const ClusterRoundOptions& options, const std::atomic<bool>& stopped);

// options.killRounds rounds of each kind: SIGKILL of one NATS server (started again a second
// later), then SIGKILL of one node (started again at once with its data directory), each about a
// second into a stream of registrations and shutdowns through every node. After each, waits until
// the nodes list the same hosts (at most options.settleSeconds) and counts the acknowledged changes
// lost on every node, those in the killed node's commit in flight apart. Prints a row per round.
// Returns false when the nodes did not start or come back.
bool runClusterKills(testing::NatsCluster& nats, const std::vector<std::string>& recipe,
                     const std::filesystem::path& dir, const ClusterRoundOptions& options,
                     const std::atomic<bool>& stopped);

}  // namespace dirserver::bench
