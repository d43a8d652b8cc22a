#include "persist/bans_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>

#include "common/text.h"
#include "persist/server_list_file.h"

namespace dirserver {
namespace {

constexpr std::string_view kBlanks = " \t";

// One line of the file, as found: its text without the line end, and the ban it holds, if any.
struct BanLine {
  std::string_view text;
  std::string_view end;  // "\n", or "" for a last line without one
  std::optional<Ban> ban;
  std::string why;  // set when the line is bad
};

BanLine readLine(std::string_view text, std::string_view end) {
  BanLine line{text, end, std::nullopt, {}};
  // A line end written by an editor of another system is no part of the reason.
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  const auto start = text.find_first_not_of(kBlanks);
  if (start == std::string_view::npos || text[start] == '#') return line;
  text.remove_prefix(start);
  const auto blank = text.find_first_of(kBlanks);
  std::string error;
  const auto range = parseIpv4Range(text.substr(0, blank), error);
  if (!range) {
    line.why = error;
    return line;
  }
  std::string_view reason;
  if (blank != std::string_view::npos) {
    reason = text.substr(blank);
    reason.remove_prefix(std::min(reason.size(), reason.find_first_not_of(kBlanks)));
    reason.remove_suffix(reason.size() - (reason.find_last_not_of(kBlanks) + 1));
  }
  if (!isPrintableReason(reason)) {
    line.why = "the reason holds a control character";
    return line;
  }
  if (reason.size() > kMaxBanReason) {
    line.why = "the reason has " + std::to_string(reason.size()) + " bytes, over the " +
               std::to_string(kMaxBanReason) + " a reason may have";
    return line;
  }
  line.ban = Ban{*range, std::string(reason)};
  return line;
}

std::vector<BanLine> readLines(std::string_view text) {
  std::vector<BanLine> lines;
  while (!text.empty()) {
    const auto newline = text.find('\n');
    const std::size_t length = newline == std::string_view::npos ? text.size() : newline;
    const std::size_t endLength = newline == std::string_view::npos ? 0 : 1;
    lines.push_back(readLine(text.substr(0, length), text.substr(length, endLength)));
    text.remove_prefix(length + endLength);
  }
  return lines;
}

std::string banLineText(const Ban& ban) {
  return ban.reason.empty() ? rangeText(ban.range) : rangeText(ban.range) + " " + ban.reason;
}

std::string tooLarge(std::uint64_t bytes) {
  return "the file has " + std::to_string(bytes) + " bytes, over the " +
         std::to_string(kMaxBansFileBytes / (1024 * 1024)) + " MiB this server reads";
}

}  // namespace

std::string bansFileBeside(const std::string& listFile) {
  return fileBeside(listFile, "bans.txt");
}

bool isPrintableReason(std::string_view reason) {
  for (const char c : reason) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return false;
  }
  return true;
}

ParsedBans parseBans(std::string_view text) {
  ParsedBans parsed;
  std::map<Ipv4Range, std::size_t> firstLine;
  std::size_t number = 0;
  for (const BanLine& line : readLines(text)) {
    ++number;
    if (!line.why.empty()) {
      parsed.bad.push_back({number, line.why});
      continue;
    }
    if (!line.ban) continue;
    const auto [earlier, isNew] = firstLine.emplace(line.ban->range, number);
    if (!isNew) {
      parsed.bad.push_back({number, rangeText(line.ban->range) + " is banned on line " +
                                        std::to_string(earlier->second) + " already"});
      continue;
    }
    parsed.bans.set(*line.ban);
  }
  return parsed;
}

std::string withBan(std::string_view text, const Ban& ban) {
  std::string out;
  out.reserve(text.size() + ban.reason.size() + 20);
  bool done = false;
  for (const BanLine& line : readLines(text)) {
    if (!done && line.ban && line.ban->range == ban.range) {
      done = true;
      if (ban.reason.empty() || line.ban->reason == ban.reason) return std::string(text);
      out += banLineText(ban);
    } else {
      out += line.text;
    }
    out += line.end;
  }
  if (!done) {
    if (!out.empty() && out.back() != '\n') out += '\n';
    out += banLineText(ban) + "\n";
  }
  return out;
}

std::string withoutBan(std::string_view text, const Ipv4Range& range) {
  std::string out;
  out.reserve(text.size());
  for (const BanLine& line : readLines(text)) {
    if (line.ban && line.ban->range == range) continue;
    out += line.text;
    out += line.end;
  }
  return out;
}

BansFileText readBansFile(const std::string& path, Env& env) {
  BansFileText file;
  // Without blocking: a FIFO at the name would hold the open until a writer came.
  const int fd = env.open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0);
  if (fd < 0) {
    file.exists = errno != ENOENT;
    file.readable = !file.exists;
    if (file.exists) file.error = std::strerror(errno);
    return file;
  }
  file.exists = true;
  struct stat status {};
  if (env.fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    file.readable = false;
    file.error = "not a regular file";
  } else if (static_cast<std::uint64_t>(status.st_size) > kMaxBansFileBytes) {
    file.readable = false;
    file.error = tooLarge(static_cast<std::uint64_t>(status.st_size));
  } else {
    file.text.reserve(static_cast<std::size_t>(status.st_size));
    char buffer[64 * 1024];
    for (ssize_t got; (got = readFully(env, fd, buffer, sizeof buffer)) != 0;) {
      if (got < 0) {
        file.readable = false;
        file.error = std::strerror(errno);
        file.text.clear();
        break;
      }
      file.text.append(buffer, static_cast<std::size_t>(got));
      // The file grew while it was read.
      if (file.text.size() > kMaxBansFileBytes) {
        file.readable = false;
        file.error = tooLarge(file.text.size());
        file.text.clear();
        break;
      }
    }
  }
  env.close(fd);
  return file;
}

BansFileBans readBans(const std::string& path, Env& env) {
  BansFileBans read;
  BansFileText file = readBansFile(path, env);
  read.exists = file.exists;
  read.readable = file.readable;
  read.error = std::move(file.error);
  if (file.exists && file.readable) read.parsed = parseBans(file.text);
  return read;
}

SaveOutcome writeBansFile(const std::string& path, std::string_view text, std::string& error,
                          Env& env) {
  const ByteView bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  return replaceFile(env, path, bytes, error);
}

void reportBadBanLines(const std::string& bansFile, const std::vector<BadBanLine>& bad,
                       const Console& console) {
  for (std::size_t i = 0; i < bad.size() && i < kBadBanLinesShown; ++i) {
    std::fprintf(console.err, "+error: %s line %zu: %s; the line is ignored\n", bansFile.c_str(),
                 bad[i].line, consoleText(bad[i].why).c_str());
  }
  if (bad.size() > kBadBanLinesShown) {
    std::fprintf(console.err, "+error: %s: %zu more bad lines are ignored\n", bansFile.c_str(),
                 bad.size() - kBadBanLinesShown);
  }
}

std::optional<BanList> loadBans(const std::string& bansFile, const Console& console) {
  BansFileBans file = readBans(bansFile);
  if (!file.readable) {
    std::fprintf(console.err, "+error: cannot read bans %s: %s\n", bansFile.c_str(),
                 file.error.c_str());
    return std::nullopt;
  }
  if (!file.exists) return BanList();
  ParsedBans& parsed = file.parsed;
  reportBadBanLines(bansFile, parsed.bad, console);
  std::fprintf(console.out, "- loaded %zu bans from %s\n", parsed.bans.size(), bansFile.c_str());
  return std::move(parsed.bans);
}

}  // namespace dirserver
