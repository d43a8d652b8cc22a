// The commands of the control socket, read from their lines (see protocol/control_protocol.h):
//   ban RANGE [REASON]          ban an IPv4 address or range (A.B.C.D or A.B.C.D/N)
//   unban RANGE                 lift the ban of exactly this range
//   bans                        the ranges in force
//   remove TYPE KEY [NAME] [index=N]
//                               remove a host by its game type and key (and name); index=N picks
//                               the Nth of several that match, in the order they were listed
//   remove PATH F1 NAME F3 F4 F5 F6
//                               remove the host of exactly these seven strings
//   snapshot [unpaced]          make the server list file complete now (unpaced: at the disk's
//                               full speed, however the commits beside it fare)
//   status                      the server's figures
// TYPE is 0, 1 or 2, the type's name (GetTheQuorv, Melee, TeamMelee, in any case) or its path.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "registry/ban_list.h"
#include "registry/server_record.h"

namespace dirserver {

struct ControlCommand {
  enum class Verb : std::uint8_t { Ban, Unban, Bans, Remove, Snapshot, Status };
  Verb verb = Verb::Status;
  Ipv4Range range;     // ban, unban
  std::string reason;  // ban: empty when none was given
  // remove: the game type and key of the host, always set.
  ServerType type{};
  ServerKey key = 0;
  // remove by key: the name the host must have (as UTF-8), and which of several matches to take
  // (from 1), when given.
  std::optional<std::string> name;
  std::optional<std::size_t> index;
  // remove by the seven strings: the fields as the registry stores them.
  std::optional<ServerFields> fields;
  // snapshot: written without keeping to the commits' pace.
  bool unpaced = false;

  // Whether the command changes anything (and so is announced on the console).
  bool changes() const { return verb == Verb::Ban || verb == Verb::Unban || verb == Verb::Remove; }
};

// The game type that `text` names: "0" to "2", the type's name in any case, or its path.
std::optional<ServerType> parseServerType(std::string_view text);

// The type's name as parseServerType reads it: "GetTheQuorv", "Melee" or "TeamMelee".
std::string_view serverTypeName(ServerType type);

// Reads one command line, without its line end. Returns nullopt with `error` (one line, for the
// peer) when the command is unknown, an argument is badly encoded or wrong, or there are too many
// or too few of them.
std::optional<ControlCommand> parseControlCommand(std::string_view line, std::string& error);

}  // namespace dirserver
