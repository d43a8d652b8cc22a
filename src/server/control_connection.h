// The control server's connection and the report of a bans file change: shared by the connection
// handling (control.cc) and the commands (control_execution.cc), and by nothing else.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <span>
#include <optional>
#include <string>

#include "net/stream_connection.h"
#include "persist/server_list_file.h"
#include "protocol/control_protocol.h"
#include "server/control.h"

namespace dirserver {

// A control connection: command lines in, answers out, one command at a time. The socket work
// is the stream's; this is what the control protocol makes of it.
class ControlServer::Connection final : public StreamConnection::Handler {
 public:
  Connection(ControlServer& server, std::uint64_t id, int fd, uid_t uid)
      : id(id), uid(uid), stream(server.reactor_, fd, *this), server_(server) {}

  std::span<std::uint8_t> receiveSpace() override { return server_.commandSpace(*this); }
  void received(std::size_t count) override {
    input.append(reinterpret_cast<const char*>(buffer.data()), count);
  }
  void inputEnded() override { stream.close(); }  // the peer is done, or gone
  void sent() override { server_.answerSent(*this); }
  // An answer the peer is slow to take has the line's time to be taken.
  void sendBlocked() override { stream.setDeadlineIn(server_.settings_.lineTimeout); }
  // A peer that has not sent its command in time is told so, if it still listens; one that does
  // not take its answer is dropped with it.
  void expired() override {
    if (stream.sending()) return;
    const std::string line = std::string(kControlError) + " no whole command within " +
                             std::to_string(server_.settings_.lineTimeout.count() / 1000) + " s\n";
    stream.sendLastWords(ByteView(reinterpret_cast<const std::uint8_t*>(line.data()), line.size()));
  }
  // Events of this pass may still name the connection: it is released when the pass ends.
  void closed() override {
    server_.reactor_.defer([&server = server_, id = id] { server.connections_.erase(id); });
  }

  const std::uint64_t id;
  const uid_t uid;
  StreamConnection stream;
  std::string input;      // received, not yet carried out
  std::size_t taken = 0;  // bytes of `input` whose commands have been taken
  std::string output;     // the answer being sent
  ByteView outputPart;    // all of `output`, as the one part of the answer
  bool busy = false;      // a command is being carried out; nothing more is read meanwhile
  bool closeWhenSent = false;
  std::array<std::uint8_t, 16 * 1024> buffer{};  // what the last receive brought

 private:
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
