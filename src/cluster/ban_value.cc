#include "cluster/ban_value.h"

#include <charconv>

#include "persist/bans_file.h"

namespace dirserver {
namespace {

// `text` with every control character made a space: a value's line holds one line of text.
std::string oneLine(std::string_view text) {
  std::string line(text);
  for (char& c : line) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  return line;
}

// Takes the next line of `rest` (without its "\n") into `line`; false when no line end is left.
bool nextLine(std::string_view& rest, std::string_view& line) {
  const std::size_t end = rest.find('\n');
  if (end == std::string_view::npos) return false;
  line = rest.substr(0, end);
  rest.remove_prefix(end + 1);
  return true;
}

// Takes line `number` of `rest`, which must be "NAME VALUE" or, with an empty value, "NAME";
// returns why not, or an empty string with the value in `value`.
std::string field(std::string_view& rest, int number, std::string_view name,
                  std::string_view& value) {
  std::string_view line;
  const std::string expected = "line " + std::to_string(number) + " is not '" + std::string(name) +
                               " ...'";
  if (!nextLine(rest, line)) return expected;
  if (line == name) {
    value = {};
    return {};
  }
  if (line.size() <= name.size() || !line.starts_with(name) || line[name.size()] != ' ') {
    return expected;
  }
  value = line.substr(name.size() + 1);
  return {};
}

}  // namespace

std::string bansBucketName(std::string_view hostBucket) {
  return std::string(hostBucket) + "-bans";
}

std::string banKey(const Ipv4Range& range) {
  const std::uint32_t n = range.network;
  return std::to_string(n >> 24) + "." + std::to_string((n >> 16) & 0xFF) + "." +
         std::to_string((n >> 8) & 0xFF) + "." + std::to_string(n & 0xFF) + "_" +
         std::to_string(range.prefix);
}

std::optional<Ipv4Range> rangeOfBanKey(std::string_view key) {
  const std::size_t underscore = key.rfind('_');
  if (underscore == std::string_view::npos || underscore == 0) return std::nullopt;
  std::string text(key);
  text[underscore] = '/';
  std::string error;
  const std::optional<Ipv4Range> range = parseIpv4Range(text, error);
  // Only the spelling banKey makes: "1.2.3.4_32", never "1.2.3.4_032" or a key read leniently.
  if (!range || banKey(*range) != key) return std::nullopt;
  return range;
}

Bytes encodeBanValue(const BanRecord& record) {
  std::string reason = oneLine(record.ban.reason);
  if (reason.size() > kMaxBanReason) reason.resize(kMaxBanReason);
  std::string text(kBanValueFormat);
  text += "\nrange " + rangeText(record.ban.range);
  text += reason.empty() ? "\nreason" : "\nreason " + reason;
  text += record.node.empty() ? "\nnode" : "\nnode " + oneLine(record.node);
  text += record.by.empty() ? "\nby" : "\nby " + oneLine(record.by);
  text += "\nat " + std::to_string(record.stampMillis) + "\n";
  return Bytes(text.begin(), text.end());
}

std::string decodeBanValue(std::string_view key, ByteView value, BanRecord& record) {
  std::string_view rest(reinterpret_cast<const char*>(value.data()), value.size());
  std::string_view line;
  if (!nextLine(rest, line) || line != kBanValueFormat) return "unknown format";
  std::string_view range, reason, node, by, at;
  std::string why = field(rest, 2, "range", range);
  if (why.empty()) why = field(rest, 3, "reason", reason);
  if (why.empty()) why = field(rest, 4, "node", node);
  if (why.empty()) why = field(rest, 5, "by", by);
  if (why.empty()) why = field(rest, 6, "at", at);
  if (!why.empty()) return why;
  if (!rest.empty()) return std::to_string(rest.size()) + " bytes after the end";
  std::string error;
  const std::optional<Ipv4Range> parsed = parseIpv4Range(range, error);
  if (!parsed) return error;
  const std::optional<Ipv4Range> keyed = rangeOfBanKey(key);
  if (!keyed || *keyed != *parsed) {
    return "the key '" + std::string(key) + "' is not that of " + rangeText(*parsed);
  }
  if (reason.size() > kMaxBanReason) return "reason of " + std::to_string(reason.size()) + " bytes";
  if (!isPrintableReason(reason)) return "the reason holds a control character";
  std::int64_t millis = 0;
  const auto [end, fault] = std::from_chars(at.data(), at.data() + at.size(), millis);
  if (fault != std::errc{} || end != at.data() + at.size() || at.empty()) {
    return "the time stamp '" + std::string(at) + "' is no number";
  }
  record.ban = Ban{*parsed, std::string(reason)};
  record.node = node;
  record.by = by;
  record.stampMillis = millis;
  return {};
}

}  // namespace dirserver
