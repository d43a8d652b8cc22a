// The server's run: the reactor, the saver and the server core on the listening socket, until a
// signal asks it to stop.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "cluster/nats_link.h"
#include "persist/list_loader.h"
#include "registry/ban_list.h"
#include "registry/server_context.h"
#include "server/server_status.h"

namespace dirserver {

// Hands one console line (with its line end) from any thread to the loop, which prints it on
// console.err in its next pass.
using LoopConsoleLine = std::function<void(std::string)>;

// Something that runs beside the loop on threads of its own and reads only what the loop publishes
// (the HTTP window): started with the core's status before the loop's first pass, and stopped,
// which must join its threads, before the core goes. Either may be empty. `start` returns false
// with a one-line reason (no line end) when it cannot start; its lines reach the console only
// through the sink it is given.
struct Companion {
  std::function<bool(const ServerStatus&, LoopConsoleLine, std::string& error)> start;
  std::function<void()> stop;
};

// The operator's control socket and the bans in force at start.
struct ControlSetup {
  int socket = -1;  // a listening Unix socket (ControlSocket); -1: none
  std::string bansFile;
  BanList bans;
};

// Serves on each of `listenSockets` (non-blocking, listening) with the fixed settings, at most
// `maxConnections` game port connections at once (what the descriptor budget leaves), saving the
// registry's changes as `loaded` (what loading found) leaves off. The first SIGTERM or SIGINT
// starts an orderly stop: accepting ends, open connections are dropped, a last checkpoint holding
// every change is written (after one in flight) and the logs removed, and the function returns 0,
// or 1 when that checkpoint failed. A second signal ends the process at once. Returns 1 at once,
// with "+error: epoll_create1() error" on console.err, when the loop cannot be set up.
// `companion` runs for as long as the loop does; its threads start with the stop signals blocked,
// so only the loop takes them, and its lines are handed to the loop (ConsoleRelay), which prints
// each as a group of its own, and what is left of them after the companion has stopped. When it
// cannot start, "+error: --http: REASON" goes to console.err and the function returns 1 before
// serving. A checkpoint starts at once when loading replayed logs or its write-back failed.
// `control`: the control socket is served beside the game port, its bans refuse connections at
// accept, and SIGHUP reads the bans file again. `proxyFrom`: the trusted balancers
// (CoreSettings::proxyFrom).
// Run by systemd as a unit of Type=notify, it tells systemd READY=1 once it accepts connections,
// STOPPING=1 at the stop signal, and WATCHDOG=1 from the loop as often as the unit's watchdog
// asks; run otherwise, it sends nothing.
// `cluster`, when given, makes the node one of a directory cluster: it serves from its own
// registry at once, links to the bucket in the background (threads of its own, started with the
// loop's signals blocked), publishes its own changes there and applies the bucket's (ClusterReplica);
// the link stops, after a moment for the publishes in flight, when the loop has stopped.
int serveUntilStopped(const std::vector<int>& listenSockets, ServerContext& context,
                      std::size_t maxConnections, const LoadResult& loaded,
                      const Companion& companion = {}, ControlSetup control = {},
                      std::vector<Ipv4Range> proxyFrom = {},
                      const ClusterSettings* cluster = nullptr);

}  // namespace dirserver
