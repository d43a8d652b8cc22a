// The bans file: the banned ranges, as text beside the server list, kept by the server's control
// commands and by hand alike.
//
//   # A comment runs to the end of its line; blank lines and comments are kept as they are.
//   10.0.0.0/8 the reason: any text after the range and its blanks, to the end of the line
//   192.0.2.7
//
// One range per line, first on the line; a range stands on one line at most. A command changes
// only its own range's line and writes every other line back byte for byte, so comments and hand
// edits survive it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/console.h"
#include "persist/env.h"
#include "persist/server_list_file.h"
#include "registry/ban_list.h"

namespace dirserver {

// The bans file's name beside the server list file `listFile`.
std::string bansFileBeside(const std::string& listFile);

// A line that is neither a ban, a comment nor blank, and why.
struct BadBanLine {
  std::size_t line = 0;  // from 1
  std::string why;
};

struct ParsedBans {
  BanList bans;
  std::vector<BadBanLine> bad;
};

// Reads every line of `text`. A line whose range cannot be read, whose reason holds a control
// character or is longer than kMaxBanReason, or whose range an earlier line has already banned
// is reported in `bad` and skipped; every other line still counts.
ParsedBans parseBans(std::string_view text);

// `text` with `ban` in force: the first line of its range rewritten (or, when it has none, a line
// appended, after a line end if the text lacks its last). When that line says exactly this
// already, or `ban` has no reason and the range is banned, the text comes back unchanged.
std::string withBan(std::string_view text, const Ban& ban);

// `text` without any line of `range`; unchanged when it has none.
std::string withoutBan(std::string_view text, const Ipv4Range& range);

// Whether `reason` can stand on a ban's line: no control character (which includes line ends).
bool isPrintableReason(std::string_view reason);

// The largest bans file read: some 400,000 lines of a range and a short reason. A larger one is
// unreadable (the bans in force stay as they were), so that a runaway file cannot take the
// server's memory.
inline constexpr std::size_t kMaxBansFileBytes = 16 * 1024 * 1024;

// What reading the file found.
struct BansFileText {
  bool exists = false;   // false: there is no file, which bans nothing
  bool readable = true;  // false: it is there but could not be read; `error` says why
  std::string text;
  std::string error;
};

// Reads the whole file at `path`, opened without blocking. Anything that is there but no readable
// regular file (a directory, a FIFO, no permission, an I/O error) or is larger than
// kMaxBansFileBytes is unreadable.
BansFileText readBansFile(const std::string& path, Env& env = systemEnv());

// The file at `path` read and parsed: what the server's files thread hands the loop, which only
// swaps the list in.
struct BansFileBans {
  bool exists = false;   // false: there is no file, which bans nothing
  bool readable = true;  // false: `error` says why; `parsed` is empty
  std::string error;
  ParsedBans parsed;
};
BansFileBans readBans(const std::string& path, Env& env = systemEnv());

// Replaces the file at `path` with `text`, crash-safely as the server list is saved (see
// replaceFile). Returns once the new text is durable (Saved), or in place but not durable
// (NotDurable), or not written (Failed, the old file as it was), with `error` saying why unless
// Saved. Prints nothing; safe from any thread.
SaveOutcome writeBansFile(const std::string& path, std::string_view text, std::string& error,
                          Env& env = systemEnv());

// Prints one line on console.err for each of the first kBadBanLinesShown bad lines of the bans
// file `bansFile`, "+error: FILE line N: WHY; the line is ignored", and one line for the rest:
// "+error: FILE: N more bad lines are ignored".
inline constexpr std::size_t kBadBanLinesShown = 20;
void reportBadBanLines(const std::string& bansFile, const std::vector<BadBanLine>& bad,
                       const Console& console);

// Reads the bans file at start: returns its bans, with "- loaded N bans from FILE" on console.out
// when there is a file and a line for each bad line, which is skipped. When the file is there but
// cannot be read, prints "+error: cannot read bans FILE: REASON" on console.err and returns
// nullopt: the server must not start (its next ban would replace the file).
std::optional<BanList> loadBans(const std::string& bansFile, const Console& console);

}  // namespace dirserver
