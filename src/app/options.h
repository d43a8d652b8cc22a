// The server's command line. Arguments that begin with "--" are options; any other argument
// switches on the key trace, whatever its text ("dirserver trace").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/limit_options.h"
#include "common/console.h"
#include "protocol/control_protocol.h"
#include "registry/ban_list.h"
#include "registry/server_registry.h"

namespace dirserver {

// An IPv4 address and a port, both in host byte order.
struct Ipv4Endpoint {
  std::uint32_t address = 0;
  std::uint16_t port = 0;
};

// What the command line asks of the server.
struct ServerOptions {
  bool traceKeys = false;            // an argument that is not an option was given
  std::optional<Ipv4Endpoint> http;  // --http ADDRESS:PORT
  std::uint64_t maxHostBytes = kDefaultMaxHostBytes;  // --max-host-bytes BYTES
  std::string control = kControlSocketName;           // --control PATH: the control socket
  bool controlGiven = false;         // --control was given (not the default path)
  bool summarizeRefreshes = false;   // --console summary (--console full: the default)
  bool consoleFull = false;          // --console full was given: every change of other nodes too
  // --proxy-from CIDR, each time it is given.
  std::vector<Ipv4Range> proxyFrom;
  // --listen ADDRESS:PORT, each time it is given; 0.0.0.0:6001 when it is not.
  std::vector<Ipv4Endpoint> listen;
  // --max-hosts-per-net, --net-prefix, --new-hosts-per-minute, --listings-per-minute.
  LimitOptions limits;
  // Cluster mode: the NATS servers (--cluster nats://HOST:PORT[,...]); none, a node on its own.
  std::vector<std::string> clusterServers;
  std::string clusterBucket = "dirserver";  // --cluster-bucket NAME
  int clusterReplicas = 3;                  // --cluster-replicas N
  std::string nodeName;                     // --node-name NAME; empty: the host name
  std::string clusterCreds;                 // --cluster-creds FILE: the NATS user's credentials
  std::string clusterTlsCa;                 // --cluster-tls-ca FILE: TLS, trusting these CAs
  bool help = false;                 // --help or -h: print the usage and exit
  bool version = false;              // --version: print the version and exit
};

// Parses ADDRESS:PORT, ADDRESS being a dotted IPv4 address ("0.0.0.0", "127.0.0.1") and PORT a
// decimal number from 1 to 65535. Returns false with `error` saying why; `endpoint` is then
// unchanged.
bool parseIpv4Endpoint(const std::string& text, Ipv4Endpoint& endpoint, std::string& error);

// Parses BYTES: a decimal number of bytes from 1 up, or of KiB, MiB or GiB with the suffix K, M or
// G ("64M"). Returns false with `error` saying why; `bytes` is then unchanged.
bool parseByteCount(const std::string& text, std::uint64_t& bytes, std::string& error);

// Parses the arguments after the program name. Options: --help (also -h), --version,
// --http ADDRESS:PORT, --max-host-bytes BYTES, --console full|summary, --control PATH,
// --listen ADDRESS:PORT and --proxy-from CIDR (which may be given again), the limit options
// (limit_options.h), --cluster
// nats://HOST:PORT[,...], --cluster-bucket NAME (letters, digits, '-' and '_'), --cluster-replicas N
// (1 to 5), --node-name NAME (at most 255 bytes, printable, no blank), --cluster-creds FILE and
// --cluster-tls-ca FILE (not empty; whether they can be read is main's to check) (each also as
// --NAME=VALUE); "--" ends the options. The --cluster-* options and --node-name need --cluster.
// Every other argument switches on the key trace. Returns false with `error` (one line, no program
// name, no line end) on an unknown option, a missing or bad value, or a value given to an option
// that takes none.
bool parseServerOptions(const std::vector<std::string>& args, ServerOptions& options,
                        std::string& error);

// Reads the command line of main. Prints the usage or the version on console.out and returns 0
// for --help and --version, prints one line "dirserver: ..." on console.err and returns 2 for a bad
// command line; in all these cases the server must not start, and nothing has touched the working
// directory. Returns nullopt with `options` filled in when the server should run.
std::optional<int> readCommandLine(int argc, char** argv, const Console& console,
                                   ServerOptions& options);

}  // namespace dirserver
