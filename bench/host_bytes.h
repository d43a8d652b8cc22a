// The bound on the hosts' strings, measured on the real server: a registry as full as the default
// bound lets it be, of hosts whose every field is as long as a field can be, while a stream of
// changes, peers that ask for the listing and never read it, and readers of /servers.json all
// run at once; the server's peak resident memory must stay within a goal.
#pragma once

#include <filesystem>
#include <string>

namespace dirserver::bench {

struct HostBytesRun {
  std::string server;          // the dirserver executable
  std::filesystem::path base;  // an existing directory for the servers' working directories
  unsigned nonReaders = 100;   // peers that ask for the listing and never read it
};

// Runs the scenario twice, with plain text and with text that JSON must escape, and prints one
// table and a legend on standard output; progress goes to standard error. Needs port 6001, a
// free loopback port for HTTP, and 127.0.0.2 upwards for the peers. Takes about a minute. Throws
// std::runtime_error when a server cannot start or stops answering; a goal missed is a figure.
void runHostBytes(const HostBytesRun& run);

}  // namespace dirserver::bench
