// Console lines for the systemd journal. A service's standard output and error may be stream
// connections to the journal; it takes a "<N>" at the start of a line as the line's syslog
// priority and strips it. Each line gets the priority its kind calls for, so that errors can be
// told from the progress of every registration.
#pragma once

#include <string>
#include <string_view>

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

// Puts each line's priority in front of it, however the lines are cut into pieces: the error
// stream's priorities when `errorStream`, else kPriorityInfo for every line. The start of a line
// that could still be of several kinds is held until the rest tells.
class PriorityLines {
 public:
  explicit PriorityLines(bool errorStream) : errorStream_(errorStream) {}

  // Appends to `out` what `piece`, the next bytes of the stream, becomes.
  void add(std::string_view piece, std::string& out);
  // Appends to `out` the start of a line still held, as a line of info (the stream ends).
  void finish(std::string& out);

 private:
  void writeHead(int priority, std::string& out);

  const bool errorStream_;
  bool inLine_ = false;  // the current line's prefix has been written
  std::string head_;     // the start of the current line, held until its priority is known
};

}  // namespace dirserver
