// dirserver: the directory server of the game. Hosts register and announce their shutdown on TCP
// port 6001; clients fetch the listing of every registered host. Takes no configuration beyond
// `--http ADDRESS:PORT`, which opens the HTTP window on the directory; any other command-line
// argument only switches on the trace of every key it computes.

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <string_view>

#include "http/http_server.h"
#include "net/listener.h"
#include "net/serve.h"
#include "protocol/message.h"
#include "registry/server_list_file.h"

int main(int argc, char** argv) {
  using namespace dirserver;
  // Every console line reaches a pipe, a file or a journal whole and in order, even if the
  // process is killed a moment later.
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  std::setvbuf(stderr, nullptr, _IOLBF, BUFSIZ);
  // A peer that has gone away must not end the process when an answer is sent to it.
  std::signal(SIGPIPE, SIG_IGN);

  static ServerContext context;
  std::optional<HttpAddress> httpAddress;
  int otherArguments = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) != "--http") {
      ++otherArguments;
      continue;
    }
    std::string error;
    if (i + 1 == argc || !(httpAddress = parseHttpAddress(argv[++i], error))) {
      std::fprintf(stderr, "+error: --http needs ADDRESS:PORT%s%s\n", error.empty() ? "" : ": ",
                   error.c_str());
      return 2;
    }
  }
  context.checksumTrace = otherArguments > 0;

  const int listenSocket = bindListener(kListenPort);
  if (listenSocket < 0) {
    std::fprintf(stderr, "+error: bind() error\n");
    return 1;
  }
  // The HTTP window's port is taken as early, so that a server that cannot have it never touches
  // the file either. It serves once the loop runs, on threads of its own, and reads only what the
  // loop publishes.
  std::unique_ptr<HttpServer> http;
  Companion companion;
  if (httpAddress) {
    http = std::make_unique<HttpServer>();
    std::string error;
    if (!http->bind(*httpAddress, error)) {
      std::fprintf(stderr, "+error: --http: %s\n", error.c_str());
      ::close(listenSocket);
      return 1;
    }
    companion.start = [&http](const ServerStatus& status) { http->start(status); };
    companion.stop = [&http] { http->stop(); };
  }
  // Loaded after the bind, so a server that cannot have its port never touches the file, and
  // before the listen, so no connection is queued before the registry is complete. A file that
  // is there but cannot be read ends the server: it must not be replaced by the first save.
  const LoadResult loaded = loadServerList(context);
  if (!loaded.readable) {
    ::close(listenSocket);
    return 1;
  }
  if (loaded.rewrite) {
    // The file holds something the registry does not (damage, duplicates, stale keys): it is
    // written back before anything else happens, so that a kill at any later moment keeps what
    // was loaded.
    saveServerList(context);
  }
  if (!startListening(listenSocket)) {
    std::fprintf(stderr, "+error: listen() error\n");
    ::close(listenSocket);
    return 1;
  }
  return serveForever(listenSocket, context, companion);
}
