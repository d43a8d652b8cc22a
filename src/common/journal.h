// Console streams for the systemd journal. A service's standard output and error may be stream
// connections to the journal; it takes a "<N>" at the start of a line as the line's syslog
// priority and strips it. Each line gets the priority its kind calls for, so that errors can be
// told from the progress of every registration.
#pragma once

#include <cstdio>
#include <string_view>

#include "common/console.h"

namespace dirserver {

// Syslog priorities the console's lines are given.
inline constexpr int kPriorityError = 3;    // "+error: ...", "- could not save server list"
inline constexpr int kPriorityWarning = 4;  // "+warning: ...", "- server list is damaged ..."
inline constexpr int kPriorityInfo = 6;     // everything else, and every line of the out stream

// The priority of an error-stream line that starts with `head`; -1 while `head` is too short to
// tell (it is the start of one of the prefixes above, not yet the whole of it).
int errorLinePriority(std::string_view head);

// Whether descriptor `fd` is the journal stream that `journalStream` (the value of the
// JOURNAL_STREAM variable, "DEVICE:INODE" in decimal, or null) names.
bool isJournalStream(int fd, const char* journalStream);

// A line-buffered stream that writes to descriptor `fd`, each line prefixed with "<N>": the
// error stream's priorities when `errorStream`, else kPriorityInfo. Write errors of `fd` become
// errors of the stream. Returns null when the stream cannot be made. The caller closes it.
std::FILE* openPriorityStream(int fd, bool errorStream);

// The server's console: standard output and error, made line-buffered, so that every line reaches
// a pipe, a file or the journal whole and at once. A stream that JOURNAL_STREAM names is replaced
// by a priority stream on the same descriptor; on a terminal, a file or a pipe the lines stay as
// they are.
Console processConsole();

}  // namespace dirserver
