// The control server's commands: what each does once its line has been read whole.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/text.h"
#include "common/version.h"
#include "persist/bans_file.h"
#include "persist/server_list_file.h"
#include "server/change_path.h"
#include "server/control.h"
#include "server/control_connection.h"

namespace dirserver {
namespace {

// A text in an answer or on the console: quoted, fit for the console, and no longer than a name
// the operator can read (an argument may be as long as a command line).
std::string quoted(std::string_view text) {
  constexpr std::size_t kShown = 200;
  return "\"" + consoleText(text.substr(0, kShown)) + (text.size() > kShown ? "...\"" : "\"");
}

std::string fieldText(const ServerField& field) {
  return consoleText(toDisplayText(field.bytes()));
}

std::string withoutLineEnd(std::string text) {
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// The status command's lines of a node of a cluster: who it is, where it replicates, and how far
// it has come. The apply lag shown is the last change's that was applied as it happened (the
// histogram on /metrics has the rest).
std::string clusterStatusText(const ClusterStatus& cluster) {
  const std::string server = cluster.server();
  std::string text = " cluster: node " + quoted(cluster.nodeName) + ", bucket " +
                     quoted(cluster.bucket) + " with " + std::to_string(cluster.replicas.load()) +
                     " replicas, NATS " +
                     (cluster.connected && !server.empty() ? consoleText(server) : "disconnected") +
                     "\n";
  const std::uint64_t revision = cluster.lastAppliedRevision.load();
  text += " replication: last applied revision " +
          (revision == 0 ? std::string("none yet") : std::to_string(revision)) + ", " +
          std::to_string(cluster.outboxChanges.load()) + " changes in the outbox, apply lag ";
  if (const std::int64_t lag = cluster.lastApplyLagMicroseconds.load(); lag < 0) {
    text += "none yet\n";
  } else {
    char shown[32];
    std::snprintf(shown, sizeof shown, "%.1f ms", static_cast<double>(lag) / 1000.0);
    text += std::string(shown) + " (the last change applied)\n";
  }
  return text;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Commands

void ControlServer::execute(Connection& connection, const ControlCommand& command) {
  using Verb = ControlCommand::Verb;
  // Once the stop's last checkpoint has begun, a change would miss it, and a checkpoint would never
  // be answered: only the commands that look are served.
  if (core_.stopping() && command.verb != Verb::Bans && command.verb != Verb::Status) {
    answer(connection, std::string(kControlError) + " the server is stopping\n");
    return;
  }
  switch (command.verb) {
    case Verb::Ban:
    case Verb::Unban:
      editBans(connection, command);
      return;
    case Verb::Snapshot:
      checkpoint(connection);
      return;
    case Verb::Remove:
      answer(connection, removeHost(connection, command));
      return;
    case Verb::Bans:
      answer(connection, bansText());
      return;
    case Verb::Status:
      answer(connection, statusText());
      return;
  }
}

// The command waits for work elsewhere (a file, a save): meanwhile nothing more is read, and no
// deadline runs, since the server is the one taking its time.
void ControlServer::waitForWork(Connection& connection) {
  connection.busy = true;
  connection.stream.stopWatching();
  connection.stream.cancelDeadline();
}

// Answers a command that waited, unless its peer has gone meanwhile.
void ControlServer::finish(std::uint64_t id, const std::string& reply) {
  Connection* connection = find(id);
  if (connection == nullptr) return;
  answer(*connection, reply);
  readCommands(*connection);
}

void ControlServer::editBans(Connection& connection, const ControlCommand& command) {
  waitForWork(connection);
  // The job touches only what outlives the control server; its report comes back through a pass.
  files_.run([this, &reactor = reactor_, &env = env_, id = connection.id, uid = connection.uid,
              command, path = settings_.bansFile] {
    FileEdit edit;
    const BansFileText file = readBansFile(path, env);
    if (!file.readable) {
      edit.outcome = SaveOutcome::Failed;
      edit.error = "cannot read " + path + ": " + file.error;
    } else {
      const std::string text = command.verb == ControlCommand::Verb::Ban
                                   ? withBan(file.text, Ban{command.range, command.reason})
                                   : withoutBan(file.text, command.range);
      edit.changed = text != file.text;
      if (edit.changed) edit.outcome = writeBansFile(path, text, edit.error, env);
      const ParsedBans parsed = parseBans(text);
      if (const std::string* reason = parsed.bans.find(command.range)) edit.reason = *reason;
    }
    reactor.post(
        [this, id, uid, command, edit = std::move(edit)] { bansEdited(id, uid, command, edit); });
  });
}

void ControlServer::bansEdited(std::uint64_t id, uid_t uid, const ControlCommand& command,
                               const FileEdit& edit) {
  const std::string range = rangeText(command.range);
  const bool ban = command.verb == ControlCommand::Verb::Ban;
  std::string reply;
  if (edit.outcome == SaveOutcome::Failed) {
    std::fprintf(context_.console.err, "+error: control uid %u: %s %s: %s\n",
                 static_cast<unsigned>(uid), ban ? "ban" : "unban", range.c_str(),
                 edit.error.c_str());
    reply = std::string(kControlError) + " nothing changed: " + edit.error + "\n";
  } else if (ban) {
    const std::string reason = edit.reason.value_or(command.reason);
    const std::string* before = bans_.find(command.range);
    const bool changed = edit.changed || before == nullptr || *before != reason;
    bans_.set({command.range, reason});
    core_.status().stats.bans = bans_.size();
    const std::uint32_t removed = core_.enforceRefusal();
    core_.status().stats.banRemovals += removed;
    const std::uint32_t left = context_.registry.totalCount();
    if (changed) {
      std::fprintf(context_.console.out,
                   "# control uid %u: ban %s%s: %u servers removed, %u left\n",
                   static_cast<unsigned>(uid), range.c_str(),
                   reason.empty() ? "" : (" " + quoted(reason)).c_str(), removed, left);
    }
    reply = std::string(kControlOk) + " " + range +
            (changed ? " is banned" : " was banned already") + ": " + std::to_string(removed) +
            " servers removed\n";
  } else {
    const bool had = bans_.erase(command.range);
    core_.status().stats.bans = bans_.size();
    if (!had && !edit.changed) {
      reply = std::string(kControlError) + " " + range + " is not banned\n";
    } else {
      std::fprintf(context_.console.out, "# control uid %u: unban %s\n", static_cast<unsigned>(uid),
                   range.c_str());
      reply = std::string(kControlOk) + " " + range + " is no longer banned\n";
    }
  }
  if (edit.outcome == SaveOutcome::NotDurable) {
    reply = std::string(kControlError) + " in force, but " + edit.error +
            ": the change may not survive a power loss\n";
  }
  finish(id, reply);
}

void ControlServer::applyBans(BanList bans) {
  bans_ = std::move(bans);
  core_.status().stats.bans = bans_.size();
}

void ControlServer::reloadBans() {
  // Read and parsed on the files thread, however long the file; the loop only swaps the lists,
  // and the old one is freed on the files thread too.
  files_.run([this, &reactor = reactor_, &env = env_, path = settings_.bansFile] {
    auto file = std::make_shared<BansFileBans>(readBans(path, env));
    reactor.post([this, path, file] {
      if (!file->readable) {
        std::fprintf(context_.console.err,
                     "+error: cannot read bans %s: %s; the bans in force stay as they were\n",
                     path.c_str(), file->error.c_str());
        return;
      }
      reportBadBanLines(path, file->parsed.bad, context_.console);
      auto old = std::make_shared<BanList>(std::move(bans_));
      applyBans(std::move(file->parsed.bans));
      files_.run([old = std::move(old)]() mutable { old.reset(); });
      const std::uint32_t removed = core_.enforceRefusal();
      core_.status().stats.banRemovals += removed;
      std::fprintf(context_.console.out, "- reloaded %zu bans from %s: %u servers removed\n",
                   bans_.size(), path.c_str(), removed);
    });
  });
}

std::string ControlServer::removeHost(Connection& connection, const ControlCommand& command) {
  const ServerRegistry& registry = context_.registry;
  const std::string typeName(serverTypeName(command.type));
  std::vector<HostEntry> matches;
  if (command.fields) {
    const auto found = registry.find(command.type, command.key, *command.fields);
    if (found != registry.end(command.type)) matches.push_back(*found);
  } else {
    for (auto at = registry.begin(command.type); at != registry.end(command.type); ++at) {
      if (at->key != command.key) continue;
      if (command.name && toDisplayText(at->record->fields[kNameField].bytes()) != *command.name) {
        continue;
      }
      matches.push_back(*at);
    }
  }
  const std::string error(kControlError);
  const std::string wanted = "key " + std::to_string(command.key) + " in " + typeName +
                             (command.name ? " named " + quoted(*command.name) : "");
  if (matches.empty()) {
    return error +
           (command.fields ? " no server of these seven strings (" + wanted + ")"
                           : " no server with " + wanted) +
           "\n";
  }
  if (command.index && *command.index > matches.size()) {
    return error + " index " + std::to_string(*command.index) + ", but only " +
           std::to_string(matches.size()) + " servers with " + wanted + "\n";
  }
  if (!command.index && matches.size() > 1) {
    std::string text;
    for (std::size_t i = 0; i < matches.size(); ++i) {
      const HostEntry& host = matches[i];
      text += " [" + std::to_string(i + 1) + "]";
      for (const ServerField& field : host.record->fields) text += " " + quoted(fieldText(field));
      text += " registered " + withoutLineEnd(asctimeText(host.record->registrationTime));
      if (host.from != kUnknownAddress) text += " from " + addressText(host.from);
      text += "\n";
    }
    return text + error + " " + std::to_string(matches.size()) + " servers with " + wanted +
           "; pick one by its number (dirctl remove ... --index N), or give all seven strings\n";
  }
  const HostEntry chosen = matches[command.index ? *command.index - 1 : 0];
  const std::uint32_t removed = core_.changes().removeHosts([&](ServerType type, const HostEntry& host) {
    return type == command.type && host.key == chosen.key &&
           host.record->fields == chosen.record->fields;
  });
  core_.status().stats.operatorRemovals += removed;
  const std::string name = quoted(fieldText(chosen.record->fields[kNameField]));
  const std::uint32_t left = registry.totalCount();
  std::fprintf(
      context_.console.out, "# control uid %u: remove server with key: %u (%s, %s): %u left\n",
      static_cast<unsigned>(connection.uid), chosen.key, name.c_str(), typeName.c_str(), left);
  return std::string(kControlOk) + " removed " + name + " (key " + std::to_string(chosen.key) +
         ", " + typeName + "): " + std::to_string(left) + " servers left\n";
}

void ControlServer::checkpoint(Connection& connection) {
  waitForWork(connection);
  core_.changes().checkpointNow([this, id = connection.id, uid = connection.uid](
                                  SaveOutcome outcome, std::uint32_t hosts) {
    const std::string target = listPaths(env_, context_.listFile).target;
    char resolved[PATH_MAX];
    const std::string where = ::realpath(target.c_str(), resolved) != nullptr ? resolved : target;
    std::string reply;
    if (outcome == SaveOutcome::Failed) {
      reply = std::string(kControlError) +
              " could not save the server list; the server's error output says why\n";
    } else {
      std::fprintf(context_.console.out, "# control uid %u: snapshot: %u servers saved in %s\n",
                   static_cast<unsigned>(uid), hosts, where.c_str());
      reply = outcome == SaveOutcome::Saved
                  ? std::string(kControlOk) + " " + std::to_string(hosts) +
                        " servers saved, durable, in " + where + "\n"
                  : std::string(kControlError) + " " + std::to_string(hosts) +
                        " servers saved in " + where +
                        ", but its directory could not be synced: the file may not survive a "
                        "power loss\n";
    }
    finish(id, reply);
  });
}

std::string ControlServer::bansText() const {
  std::string text;
  for (const Ban& ban : bans_.bans()) {
    text += " " + rangeText(ban.range) + (ban.reason.empty() ? "" : " " + ban.reason) + "\n";
  }
  return text + kControlOk + " " + std::to_string(bans_.size()) + " bans in force\n";
}

std::string ControlServer::statusText() const {
  const ServerRegistry& registry = context_.registry;
  const ServerStats& stats = core_.status().stats;
  std::string text = std::string(" dirserver ") + kVersion + "\n";
  text += " hosts: " + std::to_string(registry.totalCount());
  for (const ServerType type : kServerTypes) {
    text += std::string(type == ServerType::GetTheQuorv ? " (" : ", ") +
            std::string(serverTypeName(type)) + " " + std::to_string(registry.size(type));
  }
  text += ")\n connections: " + std::to_string(core_.connectionCount()) + " on the game port, " +
          std::to_string(connectionCount()) + " on the control socket\n";
  text += " bans: " + std::to_string(bans_.size()) + " ranges; " +
          std::to_string(stats.connectionsBanned.load()) + " connections closed at accept, " +
          std::to_string(stats.banRemovals.load()) + " hosts removed\n";
  const std::int64_t savedAt = stats.lastSaveFinishedAt.load();
  text += " last snapshot: ";
  if (savedAt == 0) {
    text += "none yet";
  } else {
    text += withoutLineEnd(asctimeText(savedAt)) +
            (stats.lastSaveFailed
                 ? ", failed"
                 : ", took " + std::to_string(stats.lastSaveMicroseconds / 1000) + " ms");
  }
  text += "; log: " + std::to_string(stats.commitsDone.load()) + " commits, " +
          std::to_string(stats.logBytes.load()) + " bytes since the snapshot, " +
          (stats.lastCommitFailed ? "the last commit failed, " : "") +
          (stats.savePending
               ? std::to_string(stats.changesPending.load()) + " changes not yet durable\n"
               : "every change durable\n");
  if (const ClusterStatus& cluster = core_.status().cluster; cluster.enabled) {
    text += clusterStatusText(cluster);
  }
  return text + kControlOk + "\n";
}

}  // namespace dirserver
