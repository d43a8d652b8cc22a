#include "common/journal.h"

#include <sys/stat.h>

#include <charconv>

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

void PriorityLines::writeHead(int priority, std::string& out) {
  out += "<" + std::to_string(priority < 0 ? kPriorityInfo : priority) + ">";
  out += head_;
  inLine_ = head_.back() != '\n';
  head_.clear();
}

void PriorityLines::add(std::string_view piece, std::string& out) {
  while (!piece.empty()) {
    const std::size_t end = piece.find('\n');
    const std::size_t length = end == std::string_view::npos ? piece.size() : end + 1;
    const std::string_view part = piece.substr(0, length);
    piece.remove_prefix(length);
    if (inLine_) {
      out += part;
      inLine_ = end == std::string_view::npos;
      continue;
    }
    head_ += part;
    const int priority = errorStream_ ? errorLinePriority(head_) : kPriorityInfo;
    // A line cut short is held only while its start could still be any kind.
    if (priority >= 0 || head_.back() == '\n') writeHead(priority, out);
  }
}

void PriorityLines::finish(std::string& out) {
  if (!head_.empty()) writeHead(-1, out);
}

}  // namespace dirserver
