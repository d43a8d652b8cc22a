// The server's limits against hostile peers, measured on the real server: answers pinned by peers
// that never read them, connection slots held by silent peers, and one address registering host
// after host. Each scenario runs against a server of its own; one table shows what each goal
// needs and what the run measured.
#pragma once

#include <filesystem>
#include <string>

namespace dirserver::bench {

struct LimitsRun {
  std::string server;          // the dirserver executable
  std::filesystem::path base;  // an existing directory for the servers' working directories
  // Peers in the answers scenario that each ask for the listing after a registry change and
  // never read it.
  unsigned nonReaders = 100;
};

// Runs the three scenarios one after the other and prints their table and a legend on standard
// output; progress goes to standard error. Needs port 6001, the loopback addresses 127.0.0.1 to
// 127.0.0.200 and some 5,300 descriptors. Takes about 30 seconds. Throws std::runtime_error when a
// server cannot start or stops answering; a goal the server misses is a figure, not an error.
void runLimits(const LimitsRun& run);

}  // namespace dirserver::bench
