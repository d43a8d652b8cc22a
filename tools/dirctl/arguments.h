// dirctl's command line: which command, against which server, with which strings and options.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/message.h"

namespace dirserver::dirctl {

// Where a server listens. `host` is a name or an address as the operator wrote it, without the
// brackets of an IPv6 address.
struct Endpoint {
  std::string host = "127.0.0.1";
  std::uint16_t port = kListenPort;
};

// Parses HOST, HOST:PORT, [IPV6] or [IPV6]:PORT. The port is decimal, 1 to 65535, and defaults to
// kListenPort. Returns false with `error` saying why on an empty host, a bad port, or an IPv6
// address without brackets; `endpoint` is then unchanged.
bool parseEndpoint(std::string_view text, Endpoint& endpoint, std::string& error);

// The endpoint as parseEndpoint reads it, always with its port: "127.0.0.1:6001", "[::1]:6001".
std::string endpointText(const Endpoint& endpoint);

enum class Command : std::uint8_t {
  Usage,
  List,
  Ping,
  Register,
  Shutdown,
  Dump,
  // The operator's commands, over the server's control socket.
  Ban,
  Unban,
  Bans,
  Remove,
  Snapshot,
  Status
};

// Whether `command` goes to the control socket.
inline bool isControlCommand(Command command) { return command >= Command::Ban; }

enum class ListFormat : std::uint8_t { Text, Json, Raw };

inline constexpr std::chrono::milliseconds kDefaultTimeout{10'000};
// A snapshot at the registry's cap writes nearly 2 GB and waits for it to be durable.
inline constexpr std::chrono::milliseconds kSnapshotTimeout{600'000};

// One parsed command line.
struct Invocation {
  Command command = Command::Usage;
  // The usage text was asked for: of all commands (Command::Usage) or of `command`.
  bool help = false;
  Endpoint endpoint;                     // list, ping, register, shutdown
  ListFormat format = ListFormat::Text;  // list
  std::vector<std::string> strings;      // register, shutdown: the seven strings, as given
  std::string file = "server_list.dat";  // dump
  // The control commands: their operands as given, the control socket (--control; empty: found
  // as controlSocketPath finds it), and remove's --index.
  std::vector<std::string> operands;
  std::string control;
  std::optional<std::size_t> index;
  bool unpaced = false;  // snapshot --unpaced
  // The longest any one step of talking to the server may take: the connect, the send, and
  // each wait for more of the answer.
  std::chrono::milliseconds timeout = kDefaultTimeout;
  // list, ping, register, shutdown: the IPv4 address (network byte order) to name in a PROXY
  // header sent ahead of each request, as a load balancer would (--source), for a server that
  // trusts this machine's address as a balancer's.
  std::optional<std::uint32_t> source;
};

// Parses the arguments after the program name. Options may stand anywhere after the command, as
// "--name VALUE" or "--name=VALUE"; "--" makes every later argument an operand, so a string may
// begin with '-'. "--help" anywhere asks for help and nothing else is checked after the command.
// Returns false with `error` (one line, no "dirctl: " prefix) on an unknown command or option, a
// missing or bad value, or the wrong number of operands.
bool parseArguments(const std::vector<std::string>& args, Invocation& invocation,
                    std::string& error);

// The usage text of one command, or of all of them for Command::Usage; ends with a line end.
std::string usageText(Command command);

}  // namespace dirserver::dirctl
