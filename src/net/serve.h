// The server's run: the reactor, the saver and the server core on the listening socket, until a
// signal asks it to stop.
#pragma once

#include "registry/server_context.h"

namespace dirserver {

// Serves on `listenSocket` (non-blocking, listening) with the fixed settings, the connection bound
// following the descriptor limit. The first SIGTERM or SIGINT starts an orderly stop: accepting
// ends, open connections are dropped, every change not yet in the server list file is saved
// (after a save in flight), and the function returns 0, or 1 when that last save failed. A second
// signal ends the process at once. Returns 1 at once, with "+error: epoll_create1() error" on
// console.err, when the loop cannot be set up.
int serveForever(int listenSocket, ServerContext& context);

}  // namespace dirserver
