#include "options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace dirserver::bench {

std::string usage(std::string_view defaultServer) {
  std::string text =
      "usage: dirserver-bench [--hosts N,N,...] [--clients C] [--seconds S] [--hostile P]\n"
      "                       [--limits P] [--host-bytes P] [--http-load N]\n"
      "                       [--heartbeat N,N,...] [--heartbeat-seconds S] [--kills K]\n"
      "                       [--snapshot-segments S] [--snapshot-kills K,K,...]\n"
      "                       [--baseline-server PATH] [--ban-reloads L] [--balancer S]\n"
      "                       [--against PATH] [--rounds R] [--server PATH]\n"
      "\n"
      "Starts the dirserver executable on port 6001 in a temporary directory, once for each\n"
      "registry size N, with N hosts written to its server_list.dat beforehand, drives it from C\n"
      "loopback client threads for S seconds per workload and prints one table: list,\n"
      "registration (new hosts and refreshes) and acknowledgement requests per second with\n"
      "p50/p99 latency, the same acknowledgement workload against a minimal blocking server built into\n"
      "the benchmark (the cost of one TCP connection per request, the floor for any server) and\n"
      "the list workload against a static server sending the same listing, each rate as a ratio\n"
      "to them, the server's resident memory and its start-up time. Then a mixed workload: one\n"
      "acknowledgement and one list client, alone and while one client streams registrations,\n"
      "with the stream's rate, the server's commits and snapshots and how long an acknowledged\n"
      "change waits to be durable (as the server reports them), and the server's memory.\n"
      "\n"
      "  --hosts N,N,...  registry sizes to measure (default 0,100,1000,10000; at most 65531,\n"
      "                   whose server list is 1.9 GB: keep $TMPDIR on a disk)\n"
      "  --clients C      concurrent client threads (default 4; 1 to 256)\n"
      "  --seconds S      time each workload may start requests (default 5; 0.1 to 600);\n"
      "                   requests under way then get up to 60 s more to finish\n"
      "  --hostile P      hold P hostile connections (silent, trickling, announcing a 1 MiB body,\n"
      "                   not reading an 8 MiB listing) from 127.0.0.2 upwards, 25 per address,\n"
      "                   against a server with 2000 hosts, and print a good client's list and\n"
      "                   acknowledgement latency with and without them (1 to 1000). Without\n"
      "                   --hosts, only this measurement runs.\n"
      "  --http-load N    start the server with --http and N hosts, and print the game port's\n"
      "                   ack and list latency without and with 100 HTTP requests/s on\n"
      "                   /servers.json and /metrics, and the rate of each HTTP path alone\n"
      "                   (1 to 60000). Without --hosts, only this measurement runs.\n"
      "  --limits P       measure the limits against hostile peers: P peers that never read\n"
      "                   a 10000-host listing, each after a registry change, then 1024 on\n"
      "                   one listing; 5120 silent connections from 80 addresses; one\n"
      "                   address registering 1000 new hosts (1 to 1000; about 30 s).\n"
      "                   Without --hosts, only this runs. In a network namespace, which\n"
      "                   hides tcp_mem, pass the machine's figures:\n"
      "                   DIRSERVER_BENCH_TCP_MEM=\"$(cat /proc/sys/net/ipv4/tcp_mem)\"\n"
      "  --host-bytes P   fill the server to its default bound on the hosts' strings with\n"
      "                   hosts of the longest strings (plain, then full of characters JSON\n"
      "                   escapes), and measure its peak memory while one client registers\n"
      "                   and shuts down a host, 4 clients read /servers.json and P peers\n"
      "                   ask for the listing and never read it (1 to 1000; about a minute).\n"
      "                   Without --hosts, only this runs.\n"
      "  --heartbeat N,N  for each registry size N, the heartbeat workload: every host registers\n"
      "                   again every 60 s (300 s from 10000 hosts on), plus 0.2 new hosts and\n"
      "                   shutdowns per second from 10000 hosts on (1 from 65531), with the disk\n"
      "                   bytes per change, acknowledgement to durable, and other clients' p99\n"
      "                   against quiet; then, at each size, 40 hosts with long strings refreshed\n"
      "                   flat out by one address, against the same refreshed once a second.\n"
      "                   Without --hosts, only the runs asked for run.\n"
      "  --heartbeat-seconds S  how long the heartbeat workload runs at each size (default 60;\n"
      "                   0 leaves it and the refresh flood out, for the snapshot runs alone)\n"
      "  --snapshot-segments S  with --heartbeat, at each size: a steady stream of changes in\n"
      "                   segments of S s (default 10; 0 leaves it out), three without and three\n"
      "                   with snapshots back to back, alternating, and the acknowledgement to\n"
      "                   durable p50/p99/max and commit p99 of each kind, with as a ratio to\n"
      "                   without; and the time of a snapshot with nothing else going on\n"
      "  --snapshot-kills K,K  with --heartbeat, SIGKILLs while a snapshot is under way at each\n"
      "                   size (the last count for the sizes after it), each restart checked for\n"
      "                   acknowledged changes lost, and their age at the kill\n"
      "  --baseline-server PATH  another dirserver executable whose idle snapshot time is the\n"
      "                   baseline of the snapshot run's (default: none)\n"
      "  --kills K        the kill test: K SIGKILLs during register and shutdown streams, each\n"
      "                   restart checked for lost acknowledged changes (1 to 100000)\n"
      "  --ban-reloads L  a bans file of L lines (1 to 1000000), and the game port's\n"
      "                   acknowledgement latency quiet and during 5 SIGHUP reloads of it half\n"
      "                   a second apart. Without --hosts, only this runs.\n"
      "  --cluster N      first on the line: the cluster benchmark (dirserver-cluster-bench, with\n"
      "                   its options --hosts N --clients C --seconds S --rate-mbit R --scale 0|1\n"
      "                   --heartbeat H,H --heartbeat-seconds S --probes P --kill-rounds K\n"
      "                   --settle-seconds S): 3 NATS servers and N nodes, registrations with\n"
      "                   and without the cluster, listings from 1..N nodes behind rate-limited\n"
      "                   links, the heartbeat workload over the nodes with its apply lag, and\n"
      "                   kills of a NATS server and of a node during a stream of changes; as\n"
      "                   root, in a network namespace of its own (docs/benchmarks.md)\n"
      "  --balancer S     acknowledgements and listings (1000 hosts) for S s each, direct and\n"
      "                   through Debian's haproxy running the recipe on loopback, as ratios,\n"
      "                   with haproxy's processor time per 1000 requests; then connections\n"
      "                   refused while the server restarts with and without a handed-over\n"
      "                   socket. Without --hosts, only this runs.\n"
      "  --against PATH   with the registry sizes: instead of the table above, the load figures\n"
      "                   (ack, list, new host + shutdown, refresh) of PATH, another dirserver\n"
      "                   executable, and of the server, each started afresh for every size in R\n"
      "                   rounds alternating PATH, server, PATH, server...; prints each figure's\n"
      "                   median over the rounds for both and the server's as a ratio to PATH's\n"
      "  --rounds R       rounds of each executable with --against (default 3; 1 to 20)\n"
      "  --server PATH    the dirserver executable (default ";
  text += defaultServer;
  text +=
      ")\n"
      "  --help           this text\n"
      "\n"
      "Port 6001 must be free: run it as\n"
      "  flock /tmp/dirserver-port6001.lock dirserver-bench ...\n"
      "so that it never overlaps the end-to-end tests. Only loopback addresses are used.\n";
  return text;
}

namespace {

bool parseUnsigned(std::string_view text, std::uint64_t max, std::uint64_t& value) {
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && value <= max;
}

bool parseHostList(std::string_view text, std::vector<std::uint32_t>& hosts) {
  hosts.clear();
  for (;;) {
    const auto comma = text.find(',');
    std::uint64_t value = 0;
    if (!parseUnsigned(text.substr(0, comma), kMaxHostsPerRun, value)) return false;
    hosts.push_back(static_cast<std::uint32_t>(value));
    if (comma == std::string_view::npos) return true;
    text.remove_prefix(comma + 1);
  }
}

bool parseSeconds(std::string_view text, double& seconds) {
  // strtod needs a terminated string; from_chars for doubles is not in every standard library.
  const std::string copy(text);
  char* end = nullptr;
  seconds = std::strtod(copy.c_str(), &end);
  return !copy.empty() && end == copy.c_str() + copy.size() && std::isfinite(seconds) &&
         seconds >= kMinSeconds && seconds <= kMaxSeconds;
}

}  // namespace

ParsedOptions parseOptions(std::span<const std::string_view> args, std::string_view defaultServer) {
  ParsedOptions parsed;
  Options& options = parsed.options;
  options.server = defaultServer;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view flag = args[i];
    std::string_view value;
    bool hasValue = false;
    if (const auto equals = flag.find('='); equals != std::string_view::npos) {
      value = flag.substr(equals + 1);
      flag = flag.substr(0, equals);
      hasValue = true;
    }
    if (flag == "--help" || flag == "-h") {
      options.help = true;
      continue;
    }
    const bool known = flag == "--hosts" || flag == "--clients" || flag == "--seconds" ||
                       flag == "--hostile" || flag == "--limits" || flag == "--http-load" ||
                       flag == "--host-bytes" || flag == "--heartbeat" ||
                       flag == "--heartbeat-seconds" || flag == "--kills" || flag == "--server" ||
                       flag == "--ban-reloads" || flag == "--snapshot-segments" ||
                       flag == "--snapshot-kills" || flag == "--baseline-server" ||
                       flag == "--balancer" || flag == "--against" || flag == "--rounds";
    if (!known) {
      parsed.error = "unknown argument '" + std::string(args[i]) + "'";
      return parsed;
    }
    if (!hasValue) {
      if (i + 1 == args.size()) {
        parsed.error = std::string(flag) + " needs a value";
        return parsed;
      }
      value = args[++i];
    }
    std::uint64_t number = 0;
    bool good = true;
    if (flag == "--hosts") {
      good = parseHostList(value, options.hosts);
      options.hostsGiven = true;
    } else if (flag == "--clients") {
      good = parseUnsigned(value, kMaxClients, number) && number > 0;
      options.clients = static_cast<unsigned>(number);
    } else if (flag == "--seconds") {
      good = parseSeconds(value, options.seconds);
    } else if (flag == "--http-load") {
      good = parseUnsigned(value, kMaxHostsPerRun, number) && number > 0;
      options.httpLoadHosts = static_cast<std::uint32_t>(number);
    } else if (flag == "--hostile") {
      good = parseUnsigned(value, kMaxHostile, number) && number > 0;
      options.hostile = static_cast<unsigned>(number);
    } else if (flag == "--heartbeat") {
      good = parseHostList(value, options.heartbeat) &&
             std::find(options.heartbeat.begin(), options.heartbeat.end(), 0u) == options.heartbeat.end();
    } else if (flag == "--heartbeat-seconds") {
      good = value == "0" || parseSeconds(value, options.heartbeatSeconds);
      if (value == "0") options.heartbeatSeconds = 0;
    } else if (flag == "--snapshot-segments") {
      good = value == "0" || parseSeconds(value, options.snapshotSegmentSeconds);
      if (value == "0") options.snapshotSegmentSeconds = 0;
    } else if (flag == "--snapshot-kills") {
      good = parseHostList(value, options.snapshotKills);
    } else if (flag == "--baseline-server") {
      good = !value.empty();
      options.baselineServer = value;
    } else if (flag == "--against") {
      good = !value.empty();
      options.against = value;
    } else if (flag == "--rounds") {
      good = parseUnsigned(value, kMaxRounds, number) && number > 0;
      options.rounds = static_cast<unsigned>(number);
    } else if (flag == "--kills") {
      good = parseUnsigned(value, kMaxKills, number) && number > 0;
      options.kills = static_cast<unsigned>(number);
    } else if (flag == "--ban-reloads") {
      good = parseUnsigned(value, kMaxBanReloadLines, number) && number > 0;
      options.banReloads = static_cast<std::uint32_t>(number);
    } else if (flag == "--balancer") {
      good = parseSeconds(value, options.balancerSeconds);
    } else if (flag == "--limits") {
      good = parseUnsigned(value, kMaxHostile, number) && number > 0;
      options.limits = static_cast<unsigned>(number);
    } else if (flag == "--host-bytes") {
      good = parseUnsigned(value, kMaxHostile, number) && number > 0;
      options.hostBytes = static_cast<unsigned>(number);
    } else {
      good = !value.empty();
      options.server = value;
    }
    if (!good) {
      parsed.error = "bad value '" + std::string(value) + "' for " + std::string(flag);
      return parsed;
    }
  }
  if ((options.hostile > 0 || options.limits > 0 || options.hostBytes > 0 ||
       options.httpLoadHosts > 0 || !options.heartbeat.empty() || options.kills > 0 ||
       options.banReloads > 0 || options.balancerSeconds > 0) &&
      !options.hostsGiven) {
    options.hosts.clear();
  }
  return parsed;
}

}  // namespace dirserver::bench
