// The control server's connection and the report of a bans file change: shared by the connection
// handling (control.cc) and the commands (control_execution.cc), and by nothing else.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

#include "net/socket_io.h"
#include "persist/server_list_file.h"
#include "protocol/control_protocol.h"
#include "server/control.h"

namespace dirserver {

class ControlServer::Connection final : public EventHandler {
 public:
  Connection(ControlServer& server, std::uint64_t id, int fd, uid_t uid)
      : id(id),
        fd(fd),
        uid(uid),
        deadline(server.reactor_, [this] { expire(); }),
        server_(server) {}

  void onEvents(std::uint32_t) override {
    if (closed) return;
    if (sending()) {
      server_.sendAnswer(*this);
      if (!sending() && !closed) server_.readCommands(*this);
    } else if (!busy) {
      server_.readCommands(*this);
    }
  }

  bool sending() const { return sent < output.size(); }

  // Asks the reactor for `wanted` events only (0: none).
  void want(std::uint32_t wanted) { server_.reactor_.watch(fd, this, wanted); }

  const std::uint64_t id;
  const int fd;
  const uid_t uid;
  Timer deadline;
  std::string input;      // received, not yet carried out
  std::size_t taken = 0;  // bytes of `input` whose commands have been taken
  std::string output;     // the answer being sent
  std::size_t sent = 0;
  bool busy = false;  // a command is being carried out; nothing more is read meanwhile
  bool closeWhenSent = false;
  bool closed = false;

 private:
  // A peer that has not sent its command in time is told so, if it still listens; one that does
  // not take its answer is dropped with it.
  void expire() {
    if (!sending()) {
      const std::string line = std::string(kControlError) + " no whole command within " +
                               std::to_string(server_.settings_.lineTimeout.count() / 1000) +
                               " s\n";
      sendSome(fd, ByteView(reinterpret_cast<const std::uint8_t*>(line.data()), line.size()), true);
    }
    server_.close(*this);
  }

  ControlServer& server_;
};

// What became of a change of the bans file, as the worker reports it to the loop.
struct ControlServer::FileEdit {
  SaveOutcome outcome = SaveOutcome::Saved;
  bool changed = false;               // the file's text changed
  std::optional<std::string> reason;  // a ban's reason as the file now has it
  std::string error;
};

}  // namespace dirserver
