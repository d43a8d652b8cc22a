#include "server/control.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "common/text.h"
#include "common/version.h"
#include "net/socket_io.h"
#include "persist/bans_file.h"
#include "persist/server_list_file.h"
#include "protocol/control_protocol.h"
#include "server/change_path.h"
#include "server/control_connection.h"

namespace dirserver {
namespace {

// After an accept fails for want of descriptors, accepting pauses this long: the connection
// stays queued, and retrying at once would spin.
constexpr auto kAcceptPause = std::chrono::seconds(1);

}  // namespace

// ---------------------------------------------------------------------------------------------
// Connections

class ControlServer::Listener final : public EventHandler {
 public:
  Listener(ControlServer& server, int fd)
      : fd(fd), pause(server.reactor_, [this] { resume(); }), server_(server) {}
  void onEvents(std::uint32_t) override { server_.acceptConnections(); }

  void resume() { server_.reactor_.watch(fd, this, EPOLLIN); }
  void suspend() {
    server_.reactor_.watch(fd, this, 0);
    pause.setAt(server_.reactor_.now() + kAcceptPause);
  }

  const int fd;
  Timer pause;

 private:
  ControlServer& server_;
};


ControlServer::ControlServer(Reactor& reactor, ServerCore& core, ServerContext& context,
                             TaskRunner& files, BanList bans, ControlSettings settings, Env& env)
    : reactor_(reactor),
      core_(core),
      context_(context),
      files_(files),
      env_(env),
      settings_(std::move(settings)) {
  core_.refuseFrom([this](PeerAddress address) { return bans_.banned(address); });
  applyBans(std::move(bans));
  // Hosts keep the address that registered them across restarts: a ban added to the file while
  // the server was down takes them now.
  if (const std::uint32_t removed = core_.enforceRefusal(); removed > 0) {
    core_.status().stats.banRemovals += removed;
    std::fprintf(context_.console.out, "- removed %u servers registered from banned addresses\n",
                 removed);
  }
}

ControlServer::~ControlServer() {
  core_.refuseFrom(nullptr);
  if (listener_) reactor_.watch(listener_->fd, listener_.get(), 0);
}

void ControlServer::listen(int listenSocket) {
  listener_ = std::make_unique<Listener>(*this, listenSocket);
  listener_->resume();
}

ControlServer::Connection* ControlServer::find(std::uint64_t id) {
  const auto found = connections_.find(id);
  return found == connections_.end() || found->second->stream.closed() ? nullptr : found->second.get();
}

void ControlServer::acceptConnections() {
  for (;;) {
    const Accepted taken = acceptConnection(listener_->fd);
    const int fd = taken.fd;
    if (fd < 0) {
      if (taken.error != 0 && taken.error != ECONNABORTED) listener_->suspend();
      return;
    }
    ucred peer{};
    socklen_t length = sizeof peer;
    const bool known = ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0;
    const bool allowed = known && (peer.uid == 0 || peer.uid == ::geteuid());
    if (!allowed || connectionCount() >= settings_.maxConnections) {
      const std::string line =
          std::string(kControlError) +
          (allowed ? " too many control connections at once\n"
                   : " only root and the server's own user may use the control socket\n");
      sendSome(fd, ByteView(reinterpret_cast<const std::uint8_t*>(line.data()), line.size()), true);
      ::close(fd);
      continue;
    }
    const std::uint64_t id = nextId_++;
    auto owned = std::make_unique<Connection>(*this, id, fd, peer.uid);
    Connection& connection = *owned;
    connections_.emplace(id, std::move(owned));
    connection.stream.setDeadlineIn(settings_.lineTimeout);
    connection.stream.receive();
  }
}

// Carries out each whole command received, one at a time; then offers the room left for a command
// line, or none while a command is being carried out or answered.
std::span<std::uint8_t> ControlServer::commandSpace(Connection& connection) {
  for (;;) {
    if (connection.stream.closed() || connection.busy || connection.stream.sending()) return {};
    std::string& input = connection.input;
    if (const auto end = input.find('\n', connection.taken); end != std::string::npos) {
      std::string line = input.substr(connection.taken, end - connection.taken);
      connection.taken = end + 1;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::string error;
      if (const auto command = parseControlCommand(line, error)) {
        execute(connection, *command);
      } else {
        answer(connection, std::string(kControlError) + " " + error + "\n");
      }
      continue;
    }
    // Commands sent together are taken one by one, and what they leave is moved up only once.
    input.erase(0, connection.taken);
    connection.taken = 0;
    if (input.size() >= kControlLineMax) {
      connection.closeWhenSent = true;
      answer(connection, std::string(kControlError) + " a command line has at most " +
                             std::to_string(kControlLineMax) + " bytes\n");
      continue;
    }
    const std::size_t room = std::min(connection.buffer.size(), kControlLineMax - input.size());
    return std::span(connection.buffer.data(), room);
  }
}

void ControlServer::readCommands(Connection& connection) { connection.stream.receive(); }

void ControlServer::answer(Connection& connection, const std::string& text) {
  connection.busy = false;
  connection.output = text;
  connection.outputPart =
      ByteView(reinterpret_cast<const std::uint8_t*>(connection.output.data()),
               connection.output.size());
  connection.stream.send(std::span(&connection.outputPart, 1));
}

void ControlServer::answerSent(Connection& connection) {
  connection.output.clear();
  if (connection.closeWhenSent) {
    connection.stream.close();
    return;
  }
  // The next command has its own time.
  connection.stream.setDeadlineIn(settings_.lineTimeout);
}

std::size_t ControlServer::connectionCount() const {
  return static_cast<std::size_t>(
      std::count_if(connections_.begin(), connections_.end(),
                    [](const auto& entry) { return !entry.second->stream.closed(); }));
}

}  // namespace dirserver
