#include "http/process_figures.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace dirserver {
namespace {

// The seconds since `clock`'s epoch.
double secondsOn(clockid_t clock) {
  timespec now{};
  ::clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Entries of /proc/self/fd but the one that lists them; nullopt when it cannot be listed.
std::optional<std::uint64_t> openDescriptors() {
  DIR* directory = ::opendir("/proc/self/fd");
  if (directory == nullptr) return std::nullopt;
  std::uint64_t count = 0;
  while (const dirent* entry = ::readdir(directory)) {
    if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != ::dirfd(directory)) ++count;
  }
  ::closedir(directory);
  return count;
}

}  // namespace

std::optional<ProcessFigures> readProcessFigures() {
  std::ifstream file("/proc/self/stat");
  const std::string stat{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  // "PID (NAME) STATE ...": the name may hold blanks and parentheses, so the fields are counted
  // from the last ')'. The third field, the state, is the first after it.
  const std::size_t nameEnd = stat.rfind(')');
  if (nameEnd == std::string::npos) return std::nullopt;
  std::istringstream rest(stat.substr(nameEnd + 1));
  const std::vector<std::string> fields{std::istream_iterator<std::string>(rest),
                                        std::istream_iterator<std::string>()};
  const auto field = [&fields](std::size_t number) { return std::stod(fields.at(number - 3)); };
  const auto descriptors = openDescriptors();
  rlimit limit{};
  if (fields.size() < 24 - 2 || !descriptors || ::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    return std::nullopt;
  }
  const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
  ProcessFigures figures;
  figures.cpuSeconds = (field(14) + field(15)) / ticks;  // utime, stime
  figures.residentBytes = static_cast<std::uint64_t>(field(24)) *
                          static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));  // rss, in pages
  figures.openDescriptors = *descriptors;
  figures.maxDescriptors = limit.rlim_cur;
  // The start (field 22) counts clock ticks since the boot; the boot-time clock counts the same.
  const double sinceStart = secondsOn(CLOCK_BOOTTIME) - field(22) / ticks;
  figures.startTimeSeconds = secondsOn(CLOCK_REALTIME) - sinceStart;
  return figures;
}

}  // namespace dirserver
