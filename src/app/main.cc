// dirserver: the directory server of the game. Hosts register and announce their shutdown on TCP
// port 6001; clients fetch the listing of every registered host. Its options are read by
// app/options.h (--http opens the HTTP window on the directory, --control moves the operator's
// control socket); any other argument switches on the trace of every key it computes.

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/console_queue.h"
#include "http/http_server.h"
#include "net/handed_sockets.h"
#include "net/listener.h"
#include "app/options.h"
#include "app/serve.h"
#include "protocol/message.h"
#include "persist/bans_file.h"
#include "persist/list_loader.h"
#include "registry/expiry.h"
#include "server/cluster_replica.h"
#include "server/control.h"
#include "server/descriptor_budget.h"
#include "server/server_core.h"

namespace {

// The HTTP window's address as the HTTP server takes it: `endpoint` (host byte order) as a
// dotted quad and a port.
dirserver::HttpAddress httpAddress(const dirserver::Ipv4Endpoint& endpoint) {
  char text[INET_ADDRSTRLEN] = {};
  const in_addr address{htonl(endpoint.address)};
  ::inet_ntop(AF_INET, &address, text, sizeof text);
  return {text, endpoint.port};
}

// The cluster's settings from the command line: the node's name defaults to the host name, and
// the bucket keeps a value an hour longer than a host lives without a refresh.
dirserver::ClusterSettings clusterSettings(const dirserver::ServerOptions& options) {
  dirserver::ClusterSettings settings;
  settings.servers = options.clusterServers;
  settings.bucket = options.clusterBucket;
  settings.replicas = options.clusterReplicas;
  settings.maxAgeSeconds = dirserver::kExpirySeconds + 3600;
  settings.nodeName = options.nodeName;
  if (settings.nodeName.empty()) {
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    settings.nodeName = host;
  }
  settings.credsFile = options.clusterCreds;
  settings.tlsCaFile = options.clusterTlsCa;
  settings.printEveryChange = options.consoleFull;
  return settings;
}

// Why the file at `path` cannot be read, or empty when it can: the NATS client reads the
// credentials and the CAs only when it connects, on a thread of its own, long after the start.
std::string unreadable(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file != nullptr) {
    char byte = 0;
    const bool read = std::fread(&byte, 1, 1, file) == 1 || std::feof(file) != 0;
    const int error = errno;
    std::fclose(file);
    if (read) return {};
    errno = error;
  }
  return std::strerror(errno);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace dirserver;
  // A peer that has gone away must not end the process when an answer is sent to it.
  std::signal(SIGPIPE, SIG_IGN);
  // A reload asked for while the list still loads waits for the loop, which reads it then; its
  // default action would end the server. Blocked before any thread starts, so all inherit it.
  sigset_t reload;
  sigemptyset(&reload);
  sigaddset(&reload, SIGHUP);
  ::pthread_sigmask(SIG_BLOCK, &reload, nullptr);

  static ServerContext context;
  context.console = processConsole();
  ServerOptions options;
  std::string error;
  if (const auto status = readCommandLine(argc, argv, context.console, options)) return *status;
  context.traceKeys = options.traceKeys;
  context.maxHostBytes = options.maxHostBytes;
  context.summarizeRefreshes = options.summarizeRefreshes;
  applyLimitOptions(options.limits, context);
  // A node of a cluster leaves room below the bound for the hosts its peers admit meanwhile.
  if (!options.clusterServers.empty()) context.maxHosts = kMaxServers - kClusterHostMargin;
  for (const auto& [option, path] : {std::pair{"--cluster-creds", &options.clusterCreds},
                                     std::pair{"--cluster-tls-ca", &options.clusterTlsCa}}) {
    if (path->empty()) continue;
    if (const std::string why = unreadable(*path); !why.empty()) {
      std::fprintf(context.console.err, "+error: %s %s: cannot read it: %s\n", option,
                   path->c_str(), why.c_str());
      return 1;
    }
  }

  // Sockets handed over by whoever started the server (systemd's socket activation) each serve the
  // --listen address they listen on; anything else handed over ends the start. The addresses
  // left are bound here.
  const auto handed = takeHandedDescriptors(error);
  if (!handed) {
    std::fprintf(context.console.err, "+error: socket activation: %s\n", error.c_str());
    return 1;
  }
  std::vector<int> listenSockets(options.listen.size(), -1);
  for (const int fd : *handed) {
    const auto at = listeningIpv4(fd, error);
    std::size_t match = 0;
    while (at && match < options.listen.size() &&
           (listenSockets[match] >= 0 || options.listen[match].address != at->address ||
            options.listen[match].port != at->port)) {
      ++match;
    }
    if (!at || match == options.listen.size()) {
      if (at) error = "descriptor " + std::to_string(fd) + " listens on no --listen address";
      std::fprintf(context.console.err, "+error: socket activation: %s\n", error.c_str());
      return 1;
    }
    listenSockets[match] = fd;
  }
  const auto toBind =
      static_cast<std::uint64_t>(std::count(listenSockets.begin(), listenSockets.end(), -1));

  // Checked before anything is opened: a server short of descriptors would fail its accepts one
  // after the other instead of serving.
  const HttpSettings httpSettings;
  const DescriptorBudget descriptors = planDescriptors(
      raiseDescriptorLimit(),
      // The cluster's link counts with what is open at start: its share is fixed and small.
      {.openAtStart = countOpenDescriptors() +
                      (options.clusterServers.empty() ? 0 : kClusterDescriptors),
       .httpWindow = options.http ? httpSettings.maxConnections + kHttpDescriptorsBesideConnections
                                  : 0,
       .controlSocket = ControlSettings{}.maxConnections + kControlDescriptorsBesideConnections,
       .extraListeners = toBind > 1 ? toBind - 1 : 0},
      CoreSettings{}.maxConnections);
  if (!descriptors.enough()) {
    std::fprintf(context.console.err,
                 "+error: the descriptor limit is %llu, below the %llu this server needs; raise "
                 "it (ulimit -n, LimitNOFILE=)\n",
                 static_cast<unsigned long long>(descriptors.limit),
                 static_cast<unsigned long long>(descriptors.required));
    return 1;
  }

  const auto closeListeners = [&listenSockets] {
    for (const int fd : listenSockets) {
      if (fd >= 0) ::close(fd);
    }
  };
  std::vector<int> bound;  // the sockets bound here, which listen once the registry is loaded
  for (std::size_t i = 0; i < listenSockets.size(); ++i) {
    if (listenSockets[i] >= 0) continue;
    listenSockets[i] = bindListener(options.listen[i].port, options.listen[i].address);
    if (listenSockets[i] < 0) {
      std::fprintf(context.console.err, "+error: bind() error\n");
      closeListeners();
      return 1;
    }
    bound.push_back(listenSockets[i]);
  }
  // The HTTP window's port is taken as early, so that a server that cannot have it never touches
  // the file either. It listens and serves once the loop is set up, on threads of its own, and
  // reads only what the loop publishes.
  std::unique_ptr<HttpServer> http;
  Companion companion;
  if (options.http) {
    http = std::make_unique<HttpServer>(httpSettings);
    if (!http->bind(httpAddress(*options.http), error)) {
      std::fprintf(context.console.err, "+error: --http: %s\n", error.c_str());
      closeListeners();
      return 1;
    }
    companion.start = [&http](const ServerStatus& status, LoopConsoleLine lines, std::string& why) {
      return http->start(status, std::move(lines), why);
    };
    companion.stop = [&http] { http->stop(); };
  }
  // The operator's control socket, as early: a second server started in the same directory
  // finds the first one answering there and ends before it reads anything.
  // A socket at the default path that cannot be made (a directory the server may not write) only
  // costs the operator's commands: the server serves without it, SIGHUP still reloads the bans.
  // One asked for with --control, or a server answering at the path, ends the start.
  ControlSocket control;
  if (!control.open(options.control, error)) {
    if (options.controlGiven || control.answeredByServer()) {
      std::fprintf(context.console.err, "+error: control socket: %s\n", error.c_str());
      closeListeners();
      return 1;
    }
    std::fprintf(context.console.err,
                 "+warning: control socket: %s; serving without it (dirctl's commands are not "
                 "available)\n",
                 error.c_str());
  }
  // The bans are read before the list, which loading may rewrite: a bans file that is there but
  // cannot be read ends the server with nothing touched (the next ban would replace it).
  const std::string bansFile = bansFileBeside(context.listFile);
  std::optional<BanList> bans = loadBans(bansFile, context.console);
  if (!bans) {
    closeListeners();
    return 1;
  }
  // Loaded after the bind, so a server that cannot have its port never touches the file, and
  // before the listen, so no connection is queued before the registry is complete. A file that
  // is there but cannot be read ends the server: it must not be replaced by the first save.
  LoadResult loaded = loadServerList(context);
  if (!loaded.readable) {
    closeListeners();
    return 1;
  }
  // The file holds something the registry does not (damage, duplicates, stale keys): it is
  // written back before anything else happens, so that a kill at any later moment keeps what was
  // loaded. Should that fail, the loop tries again at once, like any snapshot it owes.
  writeBackIfNeeded(context, loaded);
  // From here on the hosts age by the monotonic clock, each from what its stored time says now.
  anchorHostAges(context);
  for (const int fd : bound) {
    if (!startListening(fd)) {
      std::fprintf(context.console.err, "+error: listen() error\n");
      closeListeners();
      return 1;
    }
  }
  std::optional<ClusterSettings> cluster;
  if (!options.clusterServers.empty()) cluster = clusterSettings(options);
  return serveUntilStopped(listenSockets, context, descriptors.gameConnections, loaded, companion,
                           {control.fd(), bansFile, std::move(*bans)}, options.proxyFrom,
                           cluster ? &*cluster : nullptr);
}
