// The game port through Debian's HAProxy against direct, and restarts with and without a
// listening socket that outlives the server.
#pragma once

#include <filesystem>
#include <string>

namespace dirserver::bench {

struct BalancerRun {
  std::string server;
  std::filesystem::path base;
  double seconds = 2;    // each rate measurement
  unsigned clients = 4;  // client threads
};

// The HAProxy table: a node with 1000 hosts on 127.0.0.1:6001 trusting 127.0.0.2, and haproxy
// (the recipe packaging/haproxy/dirserver.cfg with its addresses rewritten for loopback, its one
// server the node, reached from 127.0.0.2) on 127.0.0.1 and a free port. Acknowledgements and
// listings, `clients` threads for `seconds` each, direct and through the balancer, with the rate
// through it as a ratio to direct, and the processor time haproxy and the server's loop took
// per 1000 requests (from /proc). Prints "skipped" when haproxy is not installed.
// Then the restart round: a stream of acknowledgement requests from 20 source addresses while
// the server is stopped with SIGTERM and started again, once binding its own socket and once on
// a listening socket this program holds and hands over (socket activation); the connections
// refused, answered and failed otherwise in each. Throws std::runtime_error when a server does
// not start.
void runBalancer(const BalancerRun& run);

}  // namespace dirserver::bench
