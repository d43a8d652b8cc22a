#include "saves.h"

#include "proc_stats.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace dirserver::bench {
namespace {

constexpr std::string_view kListFile = "server_list.dat";
constexpr std::string_view kTemporaryFile = "server_list.dat.tmp";

}  // namespace

void SaveLog::started(Clock::time_point at) {
  saving_ = true;
  start_ = at;
}

void SaveLog::finished(Clock::time_point at) {
  if (!saving_) return;
  saves_.push_back({start_, at});
  saving_ = false;
}

void SaveLog::abandoned() { saving_ = false; }

SaveWatcher::SaveWatcher(const std::filesystem::path& dir) {
  inotify_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (inotify_ < 0 || wake_ < 0 ||
      ::inotify_add_watch(inotify_, dir.c_str(), IN_CREATE | IN_MOVED_TO | IN_DELETE) < 0) {
    const std::string why = std::strerror(errno);
    if (inotify_ >= 0) ::close(inotify_);
    if (wake_ >= 0) ::close(wake_);
    throw std::runtime_error("cannot watch " + dir.string() + " for saves: " + why);
  }
  thread_ = std::thread([this] { watch(); });
}

SaveWatcher::~SaveWatcher() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(wake_, &one, sizeof one);
  thread_.join();
  ::close(inotify_);
  ::close(wake_);
}

std::vector<Save> SaveWatcher::saves() const {
  const std::lock_guard lock(mutex_);
  return log_.saves();
}

void SaveWatcher::watch() {
  alignas(inotify_event) char buffer[64 * 1024];
  for (;;) {
    pollfd ready[2] = {{inotify_, POLLIN, 0}, {wake_, POLLIN, 0}};
    if (::poll(ready, 2, -1) < 0 && errno != EINTR) return;
    if (ready[1].revents != 0) return;
    const ssize_t length = ::read(inotify_, buffer, sizeof buffer);
    if (length <= 0) continue;
    const auto now = Clock::now();
    const std::lock_guard lock(mutex_);
    for (ssize_t at = 0; at < length;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      // The name is padded with zero bytes to its field's length.
      const std::string_view name = event->len > 0 ? std::string_view(event->name) : "";
      if (name == kTemporaryFile && (event->mask & IN_CREATE) != 0) log_.started(now);
      if (name == kTemporaryFile && (event->mask & IN_DELETE) != 0) log_.abandoned();
      if (name == kListFile && (event->mask & IN_MOVED_TO) != 0) log_.finished(now);
    }
    saving_.store(log_.saving(), std::memory_order_relaxed);
  }
}

Staleness staleness(std::span<const Clock::time_point> acks, std::span<const Save> saves) {
  Staleness result;
  for (const Clock::time_point ack : acks) {
    const auto next =
        std::upper_bound(saves.begin(), saves.end(), ack,
                         [](Clock::time_point t, const Save& s) { return t < s.start; });
    if (next == saves.end()) {
      ++result.uncovered;
    } else {
      result.milliseconds.push_back(
          std::chrono::duration<double, std::milli>(next->end - ack).count());
    }
  }
  return result;
}

Resident residentOf(pid_t pid) {
  const std::string status = readProcFile("/proc/" + std::to_string(pid) + "/status");
  return {statusKiB(status, "VmRSS").value_or(0), statusKiB(status, "VmHWM").value_or(0)};
}

SaveMemorySampler::SaveMemorySampler(pid_t pid, const SaveWatcher& watcher) {
  thread_ = std::thread([this, pid, &watcher] {
    while (!stopping_.load()) {
      if (watcher.saving()) {
        const std::uint64_t now = residentOf(pid).now;
        // Counted only when the save was still under way after the reading.
        if (watcher.saving() && now > 0) {
          max_.store(std::max(max_.load(), now));
          ++samples_;
        }
      }
      std::this_thread::sleep_for(kInterval);
    }
  });
}

SaveMemorySampler::~SaveMemorySampler() {
  stopping_ = true;
  thread_.join();
}

}  // namespace dirserver::bench
