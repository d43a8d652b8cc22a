#include "server/control_command.h"

#include <algorithm>
#include <charconv>
#include <vector>

#include "common/text.h"
#include "persist/bans_file.h"
#include "protocol/control_protocol.h"
#include "registry/server_key.h"

namespace dirserver {
namespace {

constexpr std::array<std::string_view, kServerTypeCount> kTypeNames = {"GetTheQuorv", "Melee",
                                                                       "TeamMelee"};

bool equalIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return lower(x) == lower(y);
  });
}

// An argument as an error names it: its first 40 bytes, fit for the console.
std::string shown(std::string_view text) {
  return "'" + consoleText(text.substr(0, 40)) + (text.size() > 40 ? "...'" : "'");
}

template <typename Number>
std::optional<Number> decimal(std::string_view text) {
  Number value{};
  const auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || problem != std::errc{} || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

// A command's words after its name: the arguments, decoded, and its options.
struct Words {
  std::vector<std::string> arguments;
  std::vector<std::pair<std::string, std::string>> options;
};

std::optional<Words> splitWords(std::string_view rest, std::string& error) {
  Words words;
  while (!rest.empty()) {
    const auto blank = rest.find(' ');
    const std::string_view word = rest.substr(0, blank);
    rest = blank == std::string_view::npos ? std::string_view() : rest.substr(blank + 1);
    if (word.empty() || (blank != std::string_view::npos && rest.empty())) {
      error = "an empty word: words are separated by exactly one blank";
      return std::nullopt;
    }
    if (const auto equals = word.find('='); equals != std::string_view::npos) {
      words.options.emplace_back(word.substr(0, equals), word.substr(equals + 1));
      continue;
    }
    auto argument = controlArgument(word);
    if (!argument) {
      error = "a '%' not followed by two hexadecimal digits";
      return std::nullopt;
    }
    words.arguments.push_back(std::move(*argument));
  }
  return words;
}

std::optional<ControlCommand> removeByStrings(const std::vector<std::string>& strings,
                                              std::string& error) {
  ControlCommand command;
  command.verb = ControlCommand::Verb::Remove;
  const auto type = serverTypeForPath(strings[kPathField]);
  if (!type) {
    error = shown(strings[kPathField]) + " is no game type's path";
    return std::nullopt;
  }
  ServerFields fields;
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    const Bytes units = toUtf16le(strings[i]);
    // As registration stores a string: its first kFieldCapacity bytes.
    fields[i].data.assign(units.begin(), units.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                             units.size(), kFieldCapacity)));
  }
  command.type = *type;
  command.key = computeServerKey(fields);
  command.fields = std::move(fields);
  return command;
}

std::optional<ControlCommand> removeByKey(const Words& words, std::string& error) {
  ControlCommand command;
  command.verb = ControlCommand::Verb::Remove;
  const auto& arguments = words.arguments;
  const auto type = parseServerType(arguments[0]);
  if (!type) {
    error = shown(arguments[0]) +
            " is no game type: give 0, 1 or 2, GetTheQuorv, Melee or TeamMelee, or the type's "
            "path";
    return std::nullopt;
  }
  const auto key = decimal<ServerKey>(arguments[1]);
  if (!key) {
    error = shown(arguments[1]) + " is no key: a number from 0 to 4294967295";
    return std::nullopt;
  }
  command.type = *type;
  command.key = *key;
  if (arguments.size() == 3) command.name = arguments[2];
  for (const auto& [name, value] : words.options) {
    const auto index = name == "index" ? decimal<std::size_t>(value) : std::nullopt;
    if (name != "index" || command.index || !index || *index == 0) {
      error = name == "index" ? "index=N takes one number from 1 on"
                              : "remove knows no option " + shown(name);
      return std::nullopt;
    }
    command.index = index;
  }
  return command;
}

}  // namespace

std::optional<ServerType> parseServerType(std::string_view text) {
  for (const ServerType type : kServerTypes) {
    if (text == std::to_string(index(type)) || equalIgnoringCase(text, kTypeNames[index(type)])) {
      return type;
    }
  }
  return serverTypeForPath(text);
}

std::string_view serverTypeName(ServerType type) { return kTypeNames[index(type)]; }

std::optional<ControlCommand> parseControlCommand(std::string_view line, std::string& error) {
  using Verb = ControlCommand::Verb;
  const auto blank = line.find(' ');
  const std::string_view name = line.substr(0, blank);
  static constexpr std::pair<std::string_view, Verb> kVerbs[] = {
      {"ban", Verb::Ban},       {"unban", Verb::Unban},       {"bans", Verb::Bans},
      {"remove", Verb::Remove}, {"snapshot", Verb::Snapshot}, {"status", Verb::Status}};
  const auto known = std::find_if(std::begin(kVerbs), std::end(kVerbs),
                                  [&](const auto& verb) { return verb.first == name; });
  if (known == std::end(kVerbs)) {
    error = "unknown command " + shown(name) +
            "; the commands are ban, unban, bans, remove, snapshot and status";
    return std::nullopt;
  }
  std::string_view rest;
  if (blank != std::string_view::npos) {
    rest = line.substr(blank + 1);
    if (rest.empty()) {
      error = "an empty word: words are separated by exactly one blank";
      return std::nullopt;
    }
  }
  const auto words = splitWords(rest, error);
  if (!words) return std::nullopt;
  const std::string verb(name);
  const std::size_t count = words->arguments.size();
  if (!words->options.empty() && known->second != Verb::Remove) {
    error = verb + " takes no options";
    return std::nullopt;
  }
  ControlCommand command;
  command.verb = known->second;
  switch (command.verb) {
    case Verb::Ban:
    case Verb::Unban: {
      if (count == 0 || (command.verb == Verb::Unban && count > 1)) {
        error = command.verb == Verb::Ban ? "ban takes a range and, after it, a reason"
                                          : "unban takes one range";
        return std::nullopt;
      }
      const auto range = parseIpv4Range(words->arguments[0], error);
      if (!range) return std::nullopt;
      command.range = *range;
      for (std::size_t i = 1; i < count; ++i) {
        command.reason += (i > 1 ? " " : "") + words->arguments[i];
      }
      // As the bans file reads it back.
      const auto first = command.reason.find_first_not_of(" \t");
      command.reason.erase(0, std::min(first, command.reason.size()));
      command.reason.erase(command.reason.find_last_not_of(" \t") + 1);
      if (!isPrintableReason(command.reason) || command.reason.size() > kMaxBanReason) {
        error = "a reason is one line of at most " + std::to_string(kMaxBanReason) +
                " bytes without control characters";
        return std::nullopt;
      }
      return command;
    }
    case Verb::Remove:
      if (count == kFieldCount && words->options.empty()) {
        return removeByStrings(words->arguments, error);
      }
      if (count == 2 || count == 3) return removeByKey(*words, error);
      error = "remove takes TYPE KEY [NAME] [index=N], or the seven strings of a host";
      return std::nullopt;
    case Verb::Snapshot:
      if (count > 1 || (count == 1 && words->arguments[0] != "unpaced")) {
        error = "snapshot takes no argument but unpaced";
        return std::nullopt;
      }
      command.unpaced = count == 1;
      return command;
    case Verb::Bans:
    case Verb::Status:
      if (count > 0) {
        error = verb + " takes no arguments";
        return std::nullopt;
      }
      return command;
  }
  return std::nullopt;
}

}  // namespace dirserver
