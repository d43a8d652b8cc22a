// The cluster benchmark's rounds on loopback: the heartbeat workload spread over the nodes. Each
// round starts its own nodes of the real executable (the recipe's command line, a bucket of the round's own) on the
// NATS servers it is given, and prints its table.
#pragma once

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>


namespace dirserver::bench {

struct ClusterRoundOptions {
  int nodes = 3;
  double heartbeatSeconds = 8;  // the workload's window
  int probesPerSecond = 5;      // new hosts each node registers a second, to measure the lag by
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

}  // namespace dirserver::bench
