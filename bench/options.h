// The command line of dirserver-bench.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "registry/server_registry.h"

namespace dirserver::bench {

struct Options {
  // Registry sizes to measure, each a column of the table, in the order given.
  std::vector<std::uint32_t> hosts = {0, 100, 1000, 10000};
  bool hostsGiven = false;
  // Client threads that send requests at the same time.
  unsigned clients = 4;
  // How long each workload may start new requests.
  double seconds = 5;
  // Hostile peers to hold open in the hostile run; 0 leaves that run out.
  unsigned hostile = 0;
  // Peers that never read in the limits run (answers, slots, registration flood); 0 leaves it out.
  unsigned limits = 0;
  // Peers that never read in the run at the bound on the hosts' strings; 0 leaves it out.
  unsigned hostBytes = 0;
  // Hosts for the HTTP window's measurement; 0 leaves it out.
  std::uint32_t httpLoadHosts = 0;
  // Registry sizes for the heartbeat workload, and how long it runs at each.
  std::vector<std::uint32_t> heartbeat;
  double heartbeatSeconds = 60;
  // With the heartbeat sizes: how long each segment of the snapshot run lasts (0 leaves that run
  // out), the SIGKILLs during snapshots at each size (the last count holds for the sizes after
  // it; none leaves them out), and the server whose idle snapshots are the baseline (empty: none).
  double snapshotSegmentSeconds = 10;
  std::vector<std::uint32_t> snapshotKills;
  std::string baselineServer;
  // SIGKILLs of the kill test; 0 leaves it out.
  unsigned kills = 0;
  // Lines of the bans file for the reload measurement; 0 leaves it out.
  std::uint32_t banReloads = 0;
  // Seconds of each rate run through HAProxy and direct, then the restart round; 0 leaves it out.
  double balancerSeconds = 0;
  // With the registry sizes: another dirserver executable whose load figures are measured in
  // rounds alternating with the server's (empty: none), and how many rounds each gets.
  std::string against;
  unsigned rounds = 3;
  std::string server;
  bool help = false;
};

// Bounds on what the command line may ask for.
// What the server can hold: the most hosts a listing can describe.
inline constexpr std::uint32_t kMaxHostsPerRun = kMaxServers;
inline constexpr unsigned kMaxClients = 256;
inline constexpr double kMinSeconds = 0.1;
inline constexpr double kMaxSeconds = 600;
// Each peer that does not read its listing holds some 3 MiB of socket buffers in the kernel.
inline constexpr unsigned kMaxHostile = 1000;
inline constexpr unsigned kMaxKills = 100000;
// A million lines of a /32 and a short reason are some 20 MiB, past what the server reads.
inline constexpr std::uint32_t kMaxBanReloadLines = 1000000;
inline constexpr unsigned kMaxRounds = 20;

// The text --help prints; `defaultServer` is the path --server defaults to.
std::string usage(std::string_view defaultServer);

struct ParsedOptions {
  Options options;
  std::string error;  // empty when the command line was good
};

// Reads the arguments after the program name. Starts from the defaults above with `server` set to
// `defaultServer`. A flag's value may follow as the next argument or after '=' (--hosts=0,100).
// --hostile, --limits, --host-bytes, --http-load or --ban-reloads alone runs only that measurement; together with
// --hosts all given run. An unknown flag, a missing or malformed value, or a value outside the bounds above
// yields an error text that names the flag.
ParsedOptions parseOptions(std::span<const std::string_view> args, std::string_view defaultServer);

}  // namespace dirserver::bench
