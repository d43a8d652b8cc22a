#include "arguments.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <utility>

#include "registry/server_record.h"

namespace dirserver::dirctl {
namespace {

constexpr const char* kOverview =
    "usage: dirctl COMMAND [ARGUMENTS] [OPTIONS]\n"
    "\n"
    "Talks to a dirserver, or reads the server list file it keeps.\n"
    "\n"
    "commands:\n"
    "  list [HOST[:PORT]] [--json | --raw]    every registered host, by game type\n"
    "  ping [HOST[:PORT]]                     ask for an acknowledgement, show the round trip\n"
    "  register PATH F1 NAME F3 F4 F5 F6 [--to HOST[:PORT]]\n"
    "                                         register a host with these seven strings\n"
    "  shutdown PATH F1 NAME F3 F4 F5 F6 [--to HOST[:PORT]]\n"
    "                                         announce the shutdown of the host of these strings\n"
    "  dump [FILE]                            decode a server list file (default server_list.dat)\n"
    "                                         and the logs of changes beside it\n"
    "\n"
    "operator commands, over the server's control socket:\n"
    "  ban RANGE [REASON]                     ban an IPv4 address or range (A.B.C.D/N) and remove\n"
    "                                         its hosts\n"
    "  unban RANGE                            lift a ban\n"
    "  bans                                   the bans in force\n"
    "  remove TYPE KEY [NAME] [--index N]     remove one host, whatever address registered it\n"
    "  remove PATH F1 NAME F3 F4 F5 F6        remove the host of exactly these seven strings\n"
    "  snapshot [--unpaced]                   make server_list.dat complete and durable now\n"
    "  status                                 hosts, connections, bans, snapshot and log, version\n"
    "\n"
    "options:\n"
    "  --timeout SECONDS   limit on connecting, on sending and on each wait for the answer\n"
    "  --source ADDRESS    (list, ping, register, shutdown) begin each connection with a PROXY\n"
    "                      header naming ADDRESS, for a server that trusts this machine as a\n"
    "                      load balancer (--proxy-from)\n"
    "                      (default 10; 600 for snapshot)\n"
    "  --control PATH      the control socket (default dirserver.sock in the current directory\n"
    "                      when it is there, else /var/lib/dirserver/dirserver.sock)\n"
    "  --help              this text; 'dirctl COMMAND --help' explains one command\n"
    "  --version           dirctl's version (alone)\n"
    "\n"
    "HOST is a name, an IPv4 address or an [IPv6] address, 127.0.0.1 when left out; PORT is 6001\n"
    "when left out. The control socket is the server user's: run the operator commands as that\n"
    "user or as root ('sudo dirctl bans' for the packaged service). Exit status: 0 done, 1\n"
    "failed, 2 bad arguments.\n";

constexpr const char* kBanUsage =
    "usage: dirctl ban RANGE [REASON] [--control PATH]\n"
    "\n"
    "Bans RANGE, an IPv4 address (192.0.2.7) or range (192.0.2.0/24), with an optional reason\n"
    "(the rest of the arguments, one line of text). The server closes the banned addresses'\n"
    "connections to the game port at accept, unanswered, and removes the hosts they registered at\n"
    "once. The ban is written to bans.txt beside the server list before dirctl is answered, so it\n"
    "holds across restarts. Banning a banned range again changes its reason.\n";

constexpr const char* kUnbanUsage =
    "usage: dirctl unban RANGE [--control PATH]\n"
    "\n"
    "Lifts the ban of exactly RANGE, as 'dirctl bans' shows it, and removes its line from\n"
    "bans.txt. The hosts the ban removed come back when they register again.\n";

constexpr const char* kBansUsage =
    "usage: dirctl bans [--control PATH]\n"
    "\n"
    "Prints the bans in force, one range and its reason per line. bans.txt may hold more if it\n"
    "was edited by hand since the server read it: 'systemctl reload dirserver' (SIGHUP) makes the\n"
    "server read it again.\n";

constexpr const char* kRemoveUsage =
    "usage: dirctl remove TYPE KEY [NAME] [--index N] [--control PATH]\n"
    "       dirctl remove PATH F1 NAME F3 F4 F5 F6 [--control PATH]\n"
    "\n"
    "Removes one host, whatever address registered it. TYPE is 0, 1 or 2, GetTheQuorv, Melee or\n"
    "TeamMelee, or the type's path; KEY is the key 'dirctl list' shows, and NAME, when given,\n"
    "must be the host's name too. Hosts whose strings happen to give the same key share it: when\n"
    "several match, dirctl lists them with a number, removes none and fails; --index N then picks\n"
    "the Nth of that list, or the seven strings of the host pick it exactly.\n";

constexpr const char* kSnapshotUsage =
    "usage: dirctl snapshot [--unpaced] [--timeout SECONDS] [--control PATH]\n"
    "\n"
    "Has the server write server_list.dat with every host it holds now, waits until the file is\n"
    "durable, and prints where it is: the file to copy for a backup. At the registry's cap this\n"
    "takes seconds; the wait is limited to 600 s unless --timeout says otherwise. The server\n"
    "slows its writing when the commits of changes beside it slow down; --unpaced has it write\n"
    "at the disk's full speed instead, however long changes then wait to be durable.\n";

constexpr const char* kStatusUsage =
    "usage: dirctl status [--control PATH]\n"
    "\n"
    "Prints the server's version, its hosts per game type, its open connections, its bans and\n"
    "what they refused and removed, its last snapshot and what its log holds since.\n";

constexpr const char* kListUsage =
    "usage: dirctl list [HOST[:PORT]] [--json | --raw] [--timeout SECONDS]\n"
    "                   [--source ADDRESS]\n"
    "\n"
    "Fetches the listing from the server (default 127.0.0.1:6001) and prints every registered\n"
    "host under its game type: its name, its other six strings and its key. Control characters in\n"
    "the strings are shown as '?'.\n"
    "\n"
    "  --json   the same as one JSON object, for scripts: {\"server\", \"hosts\", \"entryCount\",\n"
    "           \"directories\": [{\"path\", \"type\" (0-2 or null), \"hosts\": [{\"name\", "
    "\"key\",\n"
    "           \"fields\" (the seven strings)}]}]}\n"
    "  --raw    the reply's bytes exactly as they came, on standard output\n";

constexpr const char* kPingUsage =
    "usage: dirctl ping [HOST[:PORT]] [--timeout SECONDS]\n"
    "                   [--source ADDRESS]\n"
    "\n"
    "Asks the server (default 127.0.0.1:6001) for an acknowledgement and prints how long the\n"
    "connection and the round trip took.\n";

constexpr const char* kRegisterUsage =
    "usage: dirctl register PATH F1 NAME F3 F4 F5 F6 [--to HOST[:PORT]] [--timeout SECONDS]\n"
    "                       [--source ADDRESS]\n"
    "\n"
    "Registers a host with the server (default 127.0.0.1:6001), or refreshes its registration\n"
    "when it is listed already. PATH is the game type's path, one of\n"
    "  /Aviantorvale/Get The Quorv Game\n"
    "  /Aviantorvale/Melee Game\n"
    "  /Aviantorvale/Team Melee Game\n"
    "NAME is the host's name; F1 and F3 to F6 are stored and listed as they are. No string may be\n"
    "empty. The strings are taken as UTF-8 and sent as UTF-16. Put '--' before the strings when\n"
    "one begins with '-'.\n"
    "\n"
    "The server acknowledges every request, even one it rejects, so dirctl fetches the listing\n"
    "before and after the request and says whether the host is listed now: as a new host or with\n"
    "its registration time refreshed. Exit status 1 when it is not listed.\n";

constexpr const char* kShutdownUsage =
    "usage: dirctl shutdown PATH F1 NAME F3 F4 F5 F6 [--to HOST[:PORT]] [--timeout SECONDS]\n"
    "                       [--source ADDRESS]\n"
    "\n"
    "Announces the shutdown of a host: the server (default 127.0.0.1:6001) removes the host that\n"
    "registered with exactly these seven strings. The strings are given as for 'dirctl "
    "register'.\n"
    "\n"
    "dirctl fetches the listing before and after the request and says whether the host is gone.\n"
    "Exit status 1 when it is still listed, or when it was not listed to begin with.\n";

constexpr const char* kDumpUsage =
    "usage: dirctl dump [FILE]\n"
    "\n"
    "Decodes a server list file (default server_list.dat in the current directory) without a\n"
    "server: for each game type's section its records with their key as stored and as computed,\n"
    "their registration time and age, and their seven strings; then each log of changes beside it,\n"
    "oldest first, entry by entry. Before the server's first snapshot there is no list yet: the\n"
    "logs alone are shown. A damaged file is decoded up to the damage, which is then described on\n"
    "standard error.\n";

std::optional<Command> commandNamed(std::string_view name) {
  if (name == "list") return Command::List;
  if (name == "ping") return Command::Ping;
  if (name == "register") return Command::Register;
  if (name == "shutdown") return Command::Shutdown;
  if (name == "dump") return Command::Dump;
  if (name == "ban") return Command::Ban;
  if (name == "unban") return Command::Unban;
  if (name == "bans") return Command::Bans;
  if (name == "remove") return Command::Remove;
  if (name == "snapshot") return Command::Snapshot;
  if (name == "status") return Command::Status;
  return std::nullopt;
}

bool parsePort(std::string_view text, std::uint16_t& port) {
  unsigned value = 0;
  const auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || problem != std::errc{} || end != text.data() + text.size() || value == 0 ||
      value > 65535) {
    return false;
  }
  port = static_cast<std::uint16_t>(value);
  return true;
}

bool parseTimeout(const std::string& text, std::chrono::milliseconds& timeout) {
  char* end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  // Up to a day; anything longer is surely a typing error.
  if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(seconds) ||
      seconds <= 0 || seconds > 86400) {
    return false;
  }
  timeout = std::chrono::milliseconds(std::max<long long>(1, std::llround(seconds * 1000)));
  return true;
}

// How many operands each command takes, at least and at most.
std::pair<std::size_t, std::size_t> operandRange(Command command) {
  switch (command) {
    case Command::Register:
    case Command::Shutdown:
      return {kFieldCount, kFieldCount};
    case Command::List:
    case Command::Ping:
    case Command::Dump:
      return {0, 1};
    case Command::Ban:
      return {1, SIZE_MAX};
    case Command::Unban:
      return {1, 1};
    case Command::Remove:
      return {2, kFieldCount};
    case Command::Usage:
    case Command::Bans:
    case Command::Snapshot:
    case Command::Status:
      break;
  }
  return {0, 0};
}

}  // namespace

bool parseEndpoint(std::string_view text, Endpoint& endpoint, std::string& error) {
  Endpoint parsed;
  std::string_view portText;
  bool hasPort = false;
  if (!text.empty() && text.front() == '[') {
    const auto close = text.find(']');
    if (close == std::string_view::npos) {
      error = "'" + std::string(text) + "': no ']' after the IPv6 address";
      return false;
    }
    parsed.host = std::string(text.substr(1, close - 1));
    const std::string_view rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') {
        error = "'" + std::string(text) + "': expected ':PORT' after ']'";
        return false;
      }
      portText = rest.substr(1);
      hasPort = true;
    }
  } else {
    const auto colon = text.find(':');
    if (colon != std::string_view::npos && text.find(':', colon + 1) != std::string_view::npos) {
      error = "'" + std::string(text) + "': write an IPv6 address in brackets, as [ADDRESS]:PORT";
      return false;
    }
    parsed.host = std::string(text.substr(0, colon));
    if (colon != std::string_view::npos) {
      portText = text.substr(colon + 1);
      hasPort = true;
    }
  }
  if (parsed.host.empty()) {
    error = "'" + std::string(text) + "': no host";
    return false;
  }
  if (hasPort && !parsePort(portText, parsed.port)) {
    error = "'" + std::string(text) + "': the port must be a number from 1 to 65535";
    return false;
  }
  endpoint = std::move(parsed);
  return true;
}

std::string endpointText(const Endpoint& endpoint) {
  const bool v6 = endpoint.host.find(':') != std::string::npos;
  return (v6 ? "[" + endpoint.host + "]" : endpoint.host) + ":" + std::to_string(endpoint.port);
}

bool parseArguments(const std::vector<std::string>& args, Invocation& invocation,
                    std::string& error) {
  invocation = Invocation{};
  if (args.empty()) {
    error = "no command given; 'dirctl --help' lists them";
    return false;
  }
  for (const std::string& arg : args) {
    if (arg == "--") break;
    if (arg == "--help" || arg == "-h") invocation.help = true;
  }
  std::size_t next = 0;
  if (args[0] == "help") {
    invocation.help = true;
    ++next;
  }
  if (next < args.size() && args[next].rfind("-", 0) != 0) {
    const auto command = commandNamed(args[next]);
    if (!command) {
      error = "unknown command '" + args[next] + "'; 'dirctl --help' lists them";
      return false;
    }
    invocation.command = *command;
    ++next;
  }
  if (invocation.help) return true;
  if (invocation.command == Command::Usage) {
    error = next < args.size()
                ? "'" + args[next] + "' before the command; 'dirctl --help' lists them"
                : "no command given; 'dirctl --help' lists them";
    return false;
  }

  const std::string name = args[next - 1];
  std::vector<std::string> operands;
  bool optionsEnded = false;
  bool formatSet = false;
  bool timeoutSet = false;
  for (std::size_t i = next; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    const auto equals = arg.find('=');
    const std::string option = arg.substr(0, equals);
    const bool takesValue = option == "--to" || option == "--timeout" || option == "--control" ||
                            option == "--index" || option == "--source";
    std::string value;
    if (takesValue) {
      if (equals != std::string::npos) {
        value = arg.substr(equals + 1);
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        error = option + " needs a value";
        return false;
      }
    } else if (equals != std::string::npos) {
      error = option + " takes no value";
      return false;
    }
    const bool hostCommand =
        invocation.command == Command::Register || invocation.command == Command::Shutdown;
    if (option == "--timeout" && invocation.command != Command::Dump) {
      if (!parseTimeout(value, invocation.timeout)) {
        error = "--timeout '" + value + "': give seconds, more than 0 and at most 86400";
        return false;
      }
      timeoutSet = true;
    } else if (option == "--control" && isControlCommand(invocation.command)) {
      if (value.empty()) {
        error = "--control needs a path";
        return false;
      }
      invocation.control = value;
    } else if (option == "--unpaced" && invocation.command == Command::Snapshot) {
      invocation.unpaced = true;
    } else if (option == "--index" && invocation.command == Command::Remove) {
      std::size_t index = 0;
      const auto [end, problem] = std::from_chars(value.data(), value.data() + value.size(), index);
      if (value.empty() || problem != std::errc{} || end != value.data() + value.size() ||
          index == 0) {
        error = "--index '" + value + "': give a number from 1 on, as the list of matches shows";
        return false;
      }
      invocation.index = index;
    } else if (option == "--source" && (hostCommand || invocation.command == Command::List ||
                                        invocation.command == Command::Ping)) {
      in_addr address{};
      if (::inet_pton(AF_INET, value.c_str(), &address) != 1) {
        error = "--source '" + value + "': give an IPv4 address such as 203.0.113.7";
        return false;
      }
      invocation.source = address.s_addr;
    } else if (option == "--to" && hostCommand) {
      if (!parseEndpoint(value, invocation.endpoint, error)) return false;
    } else if ((option == "--json" || option == "--raw") && invocation.command == Command::List) {
      const ListFormat format = option == "--json" ? ListFormat::Json : ListFormat::Raw;
      if (formatSet && invocation.format != format) {
        error = "--json and --raw exclude each other";
        return false;
      }
      invocation.format = format;
      formatSet = true;
    } else {
      error = "unknown option '" + option + "' for " + name + "; 'dirctl " + name +
              " --help' explains it";
      return false;
    }
  }

  if (invocation.command == Command::Snapshot && !timeoutSet) invocation.timeout = kSnapshotTimeout;
  const auto [least, most] = operandRange(invocation.command);
  if (invocation.command == Command::Remove && operands.size() > 3 &&
      (operands.size() < kFieldCount || invocation.index)) {
    error = operands.size() < kFieldCount
                ? "remove takes TYPE KEY [NAME], or the seven strings of a host; " +
                      std::to_string(operands.size()) + " given"
                : "--index picks among hosts named by TYPE KEY [NAME], not by seven strings";
    return false;
  }
  if (operands.size() < least || operands.size() > most) {
    if (least == kFieldCount && most == kFieldCount) {
      error = name + " takes exactly " + std::to_string(least) + " strings, " +
              std::to_string(operands.size()) + " given; 'dirctl " + name +
              " --help' explains them";
    } else if (operands.size() > most) {
      error = "unexpected argument '" + operands[most] + "' for " + name;
    } else {
      error = name + " needs at least " + std::to_string(least) + " arguments, " +
              std::to_string(operands.size()) + " given; 'dirctl " + name +
              " --help' explains them";
    }
    return false;
  }
  switch (invocation.command) {
    case Command::List:
    case Command::Ping:
      if (!operands.empty() && !parseEndpoint(operands[0], invocation.endpoint, error)) {
        return false;
      }
      break;
    case Command::Register:
    case Command::Shutdown:
      invocation.strings = std::move(operands);
      break;
    case Command::Dump:
      if (!operands.empty()) invocation.file = operands[0];
      break;
    default:
      invocation.operands = std::move(operands);
      break;
  }
  return true;
}

std::string usageText(Command command) {
  switch (command) {
    case Command::List:
      return kListUsage;
    case Command::Ping:
      return kPingUsage;
    case Command::Register:
      return kRegisterUsage;
    case Command::Shutdown:
      return kShutdownUsage;
    case Command::Dump:
      return kDumpUsage;
    case Command::Ban:
      return kBanUsage;
    case Command::Unban:
      return kUnbanUsage;
    case Command::Bans:
      return kBansUsage;
    case Command::Remove:
      return kRemoveUsage;
    case Command::Snapshot:
      return kSnapshotUsage;
    case Command::Status:
      return kStatusUsage;
    case Command::Usage:
      break;
  }
  return kOverview;
}

}  // namespace dirserver::dirctl
