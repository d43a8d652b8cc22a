#include "common/journal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <string>

namespace dirserver {
namespace {

// The starts of error-stream lines that are not progress, and their priorities.
struct PrefixPriority {
  std::string_view prefix;
  int priority;
};
constexpr PrefixPriority kErrorPrefixes[] = {
    {"+error:", kPriorityError},
    {"- could not save", kPriorityError},
    {"+warning:", kPriorityWarning},
    {"- server list is damaged", kPriorityWarning},
    {"- server list saved, but", kPriorityWarning},
    {"- server list log", kPriorityWarning},
    {"- the owners file", kPriorityWarning},
};

// One priority stream: its descriptor and where it is within the current line.
struct PriorityStream {
  int fd = -1;
  bool errorStream = false;
  bool owned = false;   // allocated for the stream, and deleted when it is closed
  bool inLine = false;  // the current line's prefix has been written
  std::string head;     // the start of the current line, held until its priority is known
};

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

// Writes the held start of a line behind its priority; `priority` -1 counts as progress.
bool writeHead(PriorityStream& stream, int priority) {
  const std::string line =
      "<" + std::to_string(priority < 0 ? kPriorityInfo : priority) + ">" + stream.head;
  stream.inLine = stream.head.back() != '\n';
  stream.head.clear();
  return writeAll(stream.fd, line);
}

ssize_t writePriorityStream(void* cookie, const char* data, std::size_t size) {
  auto& stream = *static_cast<PriorityStream*>(cookie);
  std::string_view rest(data, size);
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    const std::size_t length = end == std::string_view::npos ? rest.size() : end + 1;
    const std::string_view piece = rest.substr(0, length);
    rest.remove_prefix(length);
    if (stream.inLine) {
      if (!writeAll(stream.fd, piece)) return -1;
      stream.inLine = end == std::string_view::npos;
      continue;
    }
    stream.head.append(piece);
    const int priority = stream.errorStream ? errorLinePriority(stream.head) : kPriorityInfo;
    // A line cut short by a flush is held only while its start could still be any kind.
    if (priority >= 0 || stream.head.back() == '\n') {
      if (!writeHead(stream, priority)) return -1;
    }
  }
  return static_cast<ssize_t>(size);
}

int closePriorityStream(void* cookie) {
  auto* stream = static_cast<PriorityStream*>(cookie);
  const bool written = stream->head.empty() || writeHead(*stream, -1);
  if (stream->owned) delete stream;
  return written ? 0 : -1;
}

std::FILE* openStream(PriorityStream* stream) {
  const cookie_io_functions_t functions{nullptr, writePriorityStream, nullptr, closePriorityStream};
  std::FILE* file = ::fopencookie(stream, "w", functions);
  if (file != nullptr) std::setvbuf(file, nullptr, _IOLBF, BUFSIZ);
  return file;
}

}  // namespace

int errorLinePriority(std::string_view head) {
  bool undecided = false;
  for (const PrefixPriority& kind : kErrorPrefixes) {
    if (head.starts_with(kind.prefix)) return kind.priority;
    if (kind.prefix.starts_with(head)) undecided = true;
  }
  return undecided ? -1 : kPriorityInfo;
}

bool isJournalStream(int fd, const char* journalStream) {
  if (journalStream == nullptr) return false;
  const std::string_view text(journalStream);
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  unsigned long long device = 0, inode = 0;
  const char* deviceEnd = text.data() + colon;
  const char* inodeEnd = text.data() + text.size();
  const auto parsedDevice = std::from_chars(text.data(), deviceEnd, device);
  const auto parsedInode = std::from_chars(deviceEnd + 1, inodeEnd, inode);
  if (parsedDevice.ec != std::errc() || parsedDevice.ptr != deviceEnd ||
      parsedInode.ec != std::errc() || parsedInode.ptr != inodeEnd) {
    return false;
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0) return false;
  return status.st_dev == device && status.st_ino == inode;
}

std::FILE* openPriorityStream(int fd, bool errorStream) {
  auto* stream = new PriorityStream{fd, errorStream, true, false, {}};
  std::FILE* file = openStream(stream);
  if (file == nullptr) delete stream;
  return file;
}

Console processConsole() {
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  std::setvbuf(stderr, nullptr, _IOLBF, BUFSIZ);
  Console console{stdout, stderr};
  const char* journalStream = std::getenv("JOURNAL_STREAM");
  // The streams stay open until the C library flushes them as the process ends, after every
  // static object has been destroyed: their state is never destroyed, and held here.
  static PriorityStream* const outStream =
      new PriorityStream{STDOUT_FILENO, false, false, false, {}};
  static PriorityStream* const errStream =
      new PriorityStream{STDERR_FILENO, true, false, false, {}};
  if (isJournalStream(STDOUT_FILENO, journalStream)) {
    if (std::FILE* out = openStream(outStream)) console.out = out;
  }
  if (isJournalStream(STDERR_FILENO, journalStream)) {
    if (std::FILE* err = openStream(errStream)) console.err = err;
  }
  return console;
}

}  // namespace dirserver
