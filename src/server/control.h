// The control socket: the operator's commands (bans, removal, checkpoints, status) over a local
// stream socket beside the server list, served by the loop like any other connection. The
// protocol is in protocol/control_protocol.h, the commands in server/control_command.h.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/task_runner.h"
#include "net/listener.h"
#include "net/reactor.h"
#include "persist/env.h"
#include "registry/ban_diff.h"
#include "registry/ban_list.h"
#include "registry/server_context.h"
#include "server/control_command.h"
#include "server/server_core.h"

namespace dirserver {

struct ControlSettings {
  // The bans file, which ban and unban change and SIGHUP reloads.
  std::string bansFile = "bans.txt";
  // A command line must arrive whole within this of the connection or of the previous answer,
  // and an answer must be taken within this; a peer that does neither is dropped.
  std::chrono::milliseconds lineTimeout{30'000};
  // Control connections open at once; one over it is closed at once.
  std::size_t maxConnections = 8;
};

// What the control server holds at most beside its connections: its listener, a connection over
// the bound (closed once told so) and the bans file with its new copy while a command writes it.
inline constexpr std::size_t kControlDescriptorsBesideConnections = 4;

// Serves the commands of each control connection one after the other, on the reactor's thread:
// a command is read whole (bounded by kControlLineMax; a longer line is answered with an error
// and the connection closed), carried out, and answered before the next is read. Only root and
// the server's own user are served. Every command that changes something prints one line on
// console.out naming it and the peer's user id once it has taken effect:
//   # control uid U: ban RANGE "REASON": N servers removed, M left
//   # control uid U: unban RANGE
//   # control uid U: remove server with key: K ("NAME", TYPE): M left
//   # control uid U: snapshot: N servers saved in PATH
// ban and unban change the bans file off the loop (through `files`) and take effect, and answer,
// once the file is durable; a failed write changes nothing and answers with an error.
class ControlServer {
 public:
  // `reactor`, `core`, `context`, `files` and `env` must outlive the server; reports that `files`
  // runs post back to `reactor`, so `files` must have finished (been destroyed) before the
  // reactor's last pass. `bans` is what the bans file held at start: the hosts it bans (loaded
  // with the addresses that registered them) are removed at once, with a line on console.out.
  ControlServer(Reactor& reactor, ServerCore& core, ServerContext& context, TaskRunner& files,
                BanList bans, ControlSettings settings = {}, Env& env = systemEnv());
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // Serves connections on `listenSocket` (non-blocking, listening), which the server does not
  // close.
  void listen(int listenSocket);

  // Reads the bans file again (SIGHUP): its bans replace those in force, and the hosts of newly
  // banned addresses are removed. Bad lines are reported as at start and skipped; a file that
  // cannot be read leaves the bans as they were, with a line on console.err.
  void reloadBans();

  // Cluster mode: `publish` hears of every change this node's operator makes to the bans, once in
  // force: a ban or unban command (by "uid U"), and each difference a reload of the bans file
  // makes (by "bans file"). Without it the bans stay this node's own.
  using BanPublisher = std::function<void(const Ban& ban, bool lifted, const std::string& by)>;
  void publishBansTo(BanPublisher publish) { publishBans_ = std::move(publish); }

  // Cluster mode: the cluster's bans, all of them, become this node's (the bucket wins over the
  // bans file). The bans file is rewritten to match through the files thread, its other lines
  // kept; connections from newly banned addresses are closed, but their hosts are left to the
  // node that banned them, whose removals reach this node through the hosts' bucket. Prints a
  // line on console.out when anything changed here; nothing is published.
  void followBans(const std::vector<Ban>& bans);
  // Cluster mode: one change of the cluster's bans, made on node `node` (empty: unknown), taken
  // in as followBans takes the whole list. A change equal to what this node holds (its own,
  // coming back) does nothing.
  void followBan(const Ban& ban, bool lifted, const std::string& node);

  const BanList& bans() const { return bans_; }
  // Open connections; one closed in this pass no longer counts, though it is released at its end.
  std::size_t connectionCount() const;

 private:
  class Connection;
  class Listener;
  struct FileEdit;

  void acceptConnections();
  std::span<std::uint8_t> commandSpace(Connection& connection);
  void readCommands(Connection& connection);
  void execute(Connection& connection, const ControlCommand& command);
  void answer(Connection& connection, const std::string& text);
  void waitForWork(Connection& connection);
  void finish(std::uint64_t id, const std::string& reply);
  void answerSent(Connection& connection);
  Connection* find(std::uint64_t id);

  void editBans(Connection& connection, const ControlCommand& command);
  void bansEdited(std::uint64_t id, uid_t uid, const ControlCommand& command, const FileEdit& edit);
  void applyBans(BanList bans);
  void rewriteBansFile(const BanDiff& diff);
  std::string removeHost(Connection& connection, const ControlCommand& command);
  void checkpoint(Connection& connection, bool unpaced);
  std::string statusText() const;
  std::string bansText() const;

  Reactor& reactor_;
  ServerCore& core_;
  ServerContext& context_;
  TaskRunner& files_;
  Env& env_;
  ControlSettings settings_;
  BanList bans_;
  BanPublisher publishBans_;
  // Changes the cluster made to bans_: a reload of the bans file read before one compares the file
  // with a list it did not see, and reads it again.
  std::uint64_t followed_ = 0;
  std::unique_ptr<Listener> listener_;
  std::unordered_map<std::uint64_t, std::unique_ptr<Connection>> connections_;
  std::uint64_t nextId_ = 1;
};

}  // namespace dirserver
