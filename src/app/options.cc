#include "app/options.h"

#include <arpa/inet.h>

#include <charconv>
#include <string_view>

#include "common/version.h"
#include "protocol/message.h"

namespace dirserver {
namespace {

// The usage text up to the limit options.
constexpr const char* kUsageHead =
    "usage: dirserver [--http ADDRESS:PORT] [--max-host-bytes BYTES] [--console full|summary]\n"
    "                 [--control PATH] [--listen ADDRESS:PORT]... [--proxy-from CIDR]...\n"
    "                 [--max-hosts-per-net N] [--net-prefix P] [--new-hosts-per-minute N]\n"
    "                 [--listings-per-minute N]\n"
    "                 [--cluster nats://HOST:PORT[,...] [--cluster-bucket NAME]\n"
    "                 [--cluster-replicas N] [--node-name NAME] [--cluster-creds FILE]\n"
    "                 [--cluster-tls-ca FILE]] [trace]\n"
    "\n"
    "The directory server of the game: hosts register and announce their shutdown on TCP port\n"
    "6001 (every local IPv4 address), clients fetch the listing of every registered host. The\n"
    "registry is kept in server_list.dat in the working directory: start the server where that\n"
    "file should live. Progress goes to standard output, errors and warnings to standard error.\n"
    "\n"
    "options:\n"
    "  --http ADDRESS:PORT  also answer HTTP on this IPv4 address and port, for\n"
    "                       example 127.0.0.1:8080\n"
    "  --max-host-bytes BYTES\n"
    "                       refuse new hosts once the strings of all hosts would take more\n"
    "                       than BYTES (K, M, G: KiB, MiB, GiB; default 64M); hosts loaded\n"
    "                       from the file and refreshes are never refused\n"
    "  --console summary    print no lines for a registration that only refreshes a\n"
    "                       registered host; print how many there were once a minute\n"
  "  --console full       print every request's lines (the default); in cluster mode,\n"
    "                       given, also a line for every change made by another node\n"
    "                       instead of a count of them once a minute\n"
    "  --control PATH       the control socket for dirctl's operator commands (ban, unban,\n"
    "                       bans, remove, snapshot, status); default dirserver.sock in the\n"
    "                       working directory, without which the server still serves\n"
    "  --listen ADDRESS:PORT\n"
    "                       serve the game port on this IPv4 address and port instead of\n"
    "                       0.0.0.0:6001; may be given again. Sockets handed over by\n"
    "                       systemd (LISTEN_FDS) are served instead of bound when each\n"
    "                       listens on one of these\n"
    "  --proxy-from CIDR    trust the load balancers at these addresses (A.B.C.D or\n"
    "                       A.B.C.D/N; may be given again): their connections must begin\n"
    "                       with a PROXY header (version 1 or 2), whose address then counts\n"
    "                       as the peer's for ownership, bans and limits\n";

// The usage text after the limit options.
constexpr const char* kUsageTail =
    "  --cluster nats://HOST:PORT[,...]\n"
    "                       share one registry with the other nodes on these NATS\n"
    "                       JetStream servers (cluster mode; docs/cluster.md)\n"
    "  --cluster-bucket NAME\n"
    "                       the bucket the nodes share (default dirserver)\n"
    "  --cluster-replicas N the bucket's copies when this node creates it (default 3)\n"
    "  --node-name NAME     this node's name in the cluster (default the host name)\n"
    "  --cluster-creds FILE the NATS user's credentials (a .creds file with its JWT and\n"
    "                       seed)\n"
    "  --cluster-tls-ca FILE\n"
    "                       speak TLS to the NATS servers and trust the certificate\n"
    "                       authorities in this PEM file\n"
    "  --help, -h           this text\n"
    "  --version            the version\n"
    "\n"
    "Any other argument (for example 'trace') prints every key the server computes with the\n"
    "words that went into it, also while the file is loaded at start. The server runs until it\n"
    "is stopped with SIGTERM or SIGINT; SIGHUP reads the bans in bans.txt, beside\n"
    "server_list.dat, again. Exit status: 0 after an orderly stop, 1 when it cannot bind or\n"
    "listen on port 6001 or on the control socket --control names, or read its file,\n"
    "bans.txt or a file --cluster-creds or --cluster-tls-ca names, or the last save failed,\n"
    "2 on a bad command line. 'man dirserver' tells more.\n";

// Splits "--name=value" into name and value; `hasValue` tells "--name=" from "--name".
void splitOption(const std::string& arg, std::string& name, std::string& value, bool& hasValue) {
  const std::size_t equals = arg.find('=');
  hasValue = equals != std::string::npos;
  name = hasValue ? arg.substr(0, equals) : arg;
  value = hasValue ? arg.substr(equals + 1) : std::string();
}

bool isClusterOption(const std::string& name) {
  return name == "--cluster" || name == "--cluster-bucket" || name == "--cluster-replicas" ||
         name == "--node-name" || name == "--cluster-creds" || name == "--cluster-tls-ca";
}

const char* clusterValueName(const std::string& name) {
  return name == "--cluster"                                            ? "nats://HOST:PORT[,...]"
         : name == "--cluster-replicas"                                 ? "N"
         : name == "--cluster-creds" || name == "--cluster-tls-ca" ? "FILE"
                                                                        : "NAME";
}

// A node's or a bucket's name: what NATS takes as one token of a subject, and what the console can
// print as it is.
bool plainName(const std::string& text, bool bucket) {
  if (text.empty() || text.size() > 255) return false;
  for (const char c : text) {
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum && c != '-' && c != '_' && (bucket || c <= ' ' || c > '~')) return false;
  }
  return true;
}

bool parseClusterOption(const std::string& name, const std::string& value,
                        ServerOptions& options, std::string& error) {
  if (name == "--cluster") {
    options.clusterServers.clear();
    std::size_t start = 0;
    for (;;) {
      const std::size_t comma = value.find(',', start);
      const std::string server = value.substr(start, comma - start);
      const std::size_t colon = server.rfind(':');
      const bool scheme = server.starts_with("nats://") || server.starts_with("tls://");
      if (!scheme || colon == std::string::npos || colon + 1 == server.size() ||
          server.find("://") + 3 >= colon) {
        error = "--cluster '" + server + "': expected nats://HOST:PORT";
        return false;
      }
      options.clusterServers.push_back(server);
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    return true;
  }
  if (name == "--cluster-replicas") {
    int replicas = 0;
    const auto [end, failure] = std::from_chars(value.data(), value.data() + value.size(), replicas);
    if (value.empty() || failure != std::errc() || end != value.data() + value.size() ||
        replicas < 1 || replicas > 5) {
      error = "--cluster-replicas '" + value + "': expected a number from 1 to 5";
      return false;
    }
    options.clusterReplicas = replicas;
    return true;
  }
  if (name == "--cluster-creds" || name == "--cluster-tls-ca") {
    if (value.empty()) {
      error = name + " needs a file";
      return false;
    }
    (name == "--cluster-creds" ? options.clusterCreds : options.clusterTlsCa) = value;
    return true;
  }
  const bool bucket = name == "--cluster-bucket";
  if (!plainName(value, bucket)) {
    error = name + " '" + value + "': " +
            (bucket ? "expected letters, digits, '-' and '_'"
                    : "expected at most 255 printable characters without blanks");
    return false;
  }
  (bucket ? options.clusterBucket : options.nodeName) = value;
  return true;
}

}  // namespace

bool parseIpv4Endpoint(const std::string& text, Ipv4Endpoint& endpoint, std::string& error) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos) {
    error = "'" + text + "': expected ADDRESS:PORT";
    return false;
  }
  const std::string address = text.substr(0, colon), port = text.substr(colon + 1);
  in_addr parsed{};
  // inet_pton takes exactly four decimal parts, unlike inet_aton's shorthand forms.
  if (::inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
    error = "'" + text + "': '" + address + "' is not an IPv4 address such as 127.0.0.1";
    return false;
  }
  unsigned value = 0;
  const auto [end, failure] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (port.empty() || failure != std::errc() || end != port.data() + port.size() || value == 0 ||
      value > 65535) {
    error = "'" + text + "': the port must be a number from 1 to 65535";
    return false;
  }
  endpoint.address = ntohl(parsed.s_addr);
  endpoint.port = static_cast<std::uint16_t>(value);
  return true;
}

bool parseByteCount(const std::string& text, std::uint64_t& bytes, std::string& error) {
  std::string digits = text;
  int shift = 0;
  if (!digits.empty()) {
    const std::string_view suffixes = "KMG";
    if (const auto suffix = suffixes.find(digits.back()); suffix != std::string_view::npos) {
      shift = 10 * static_cast<int>(suffix + 1);
      digits.pop_back();
    }
  }
  std::uint64_t value = 0;
  const auto [end, failure] =
      std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (digits.empty() || failure != std::errc() || end != digits.data() + digits.size() ||
      value == 0 || value > (std::uint64_t{1} << (63 - shift))) {
    error = "'" + text + "': expected a number of bytes from 1 up, such as 65536 or 64M";
    return false;
  }
  bytes = value << shift;
  return true;
}

bool parseServerOptions(const std::vector<std::string>& args, ServerOptions& options,
                        std::string& error) {
  bool optionsEnded = false;
  bool clusterOptionsGiven = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || !arg.starts_with("--")) {
      if (!optionsEnded && arg == "-h") {
        options.help = true;
      } else {
        options.traceKeys = true;
      }
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    std::string name, value;
    bool hasValue = false;
    splitOption(arg, name, value, hasValue);
    if (name == "--help" || name == "--version") {
      if (hasValue) {
        error = name + " takes no value";
        return false;
      }
      (name == "--help" ? options.help : options.version) = true;
    } else if (name == "--http" || name == "--max-host-bytes" || name == "--console" ||
               name == "--control" || name == "--proxy-from" || name == "--listen" ||
               isClusterOption(name) || isLimitOption(name)) {
      if (!hasValue) {
        if (i + 1 == args.size()) {
          error = name + " needs a value: " +
                  (name == "--http" || name == "--listen" ? "ADDRESS:PORT"
                   : name == "--control"                  ? "PATH"
                   : name == "--console"                  ? "full or summary"
                   : name == "--proxy-from"               ? "CIDR"
                   : name == "--max-host-bytes"           ? "BYTES"
                   : isLimitOption(name)                  ? limitValueName(name)
                                                          : clusterValueName(name));
          return false;
        }
        value = args[++i];
      }
      if (name == "--proxy-from") {
        const auto range = parseIpv4Range(value, error);
        if (!range) {
          error = "--proxy-from " + error;
          return false;
        }
        options.proxyFrom.push_back(*range);
        continue;
      }
      if (isLimitOption(name)) {
        if (!parseLimitOption(name, value, options.limits, error)) return false;
        continue;
      }
      if (isClusterOption(name)) {
        clusterOptionsGiven = clusterOptionsGiven || name != "--cluster";
        if (!parseClusterOption(name, value, options, error)) return false;
        continue;
      }
      if (name == "--control") {
        if (value.empty()) {
          error = "--control needs a path";
          return false;
        }
        options.control = value;
        options.controlGiven = true;
        continue;
      }
      if (name == "--console") {
        if (value != "full" && value != "summary") {
          error = "--console '" + value + "': expected full or summary";
          return false;
        }
        options.summarizeRefreshes = value == "summary";
        options.consoleFull = value == "full";
        continue;
      }
      if (name == "--max-host-bytes") {
        if (!parseByteCount(value, options.maxHostBytes, error)) {
          error = "--max-host-bytes " + error;
          return false;
        }
        continue;
      }
      Ipv4Endpoint endpoint;
      if (!parseIpv4Endpoint(value, endpoint, error)) {
        error = name + " " + error;
        return false;
      }
      if (name == "--listen") {
        options.listen.push_back(endpoint);
      } else {
        options.http = endpoint;
      }
    } else {
      error = "unknown option '" + name + "'; 'dirserver --help' lists the options";
      return false;
    }
  }
  if (options.listen.empty()) options.listen.push_back({0, kListenPort});
  if (options.clusterServers.empty() && clusterOptionsGiven) {
    error = "--cluster-bucket, --cluster-replicas, --cluster-creds, --cluster-tls-ca and "
            "--node-name need --cluster";
    return false;
  }
  return true;
}


std::optional<int> readCommandLine(int argc, char** argv, const Console& console,
                                   ServerOptions& options) {
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  std::string error;
  if (!parseServerOptions(args, options, error)) {
    std::fprintf(console.err, "dirserver: %s\n", error.c_str());
    return 2;
  }
  if (options.help) {
    const std::string usage = std::string(kUsageHead) + kLimitOptionsUsage + kUsageTail;
    std::fputs(usage.c_str(), console.out);
    return 0;
  }
  if (options.version) {
    std::fprintf(console.out, "dirserver %s\n", kVersion);
    return 0;
  }
  return std::nullopt;
}

}  // namespace dirserver
