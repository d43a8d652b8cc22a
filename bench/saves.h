// The server's saves seen from outside, and its memory while they run. A save writes
// server_list.dat.tmp and renames it over server_list.dat, so watching the directory with inotify
// shows when each one starts (the temporary file is created) and ends (the file is moved in),
// whichever thread of the server does the writing.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <span>
#include <string_view>
#include <thread>
#include <vector>

#include "load.h"

namespace dirserver::bench {

// One save, as the watcher saw it.
struct Save {
  Clock::time_point start;  // server_list.dat.tmp created
  Clock::time_point end;    // server_list.dat moved in
};

// Pairs the directory's events into saves: a creation of the temporary file starts one (a second
// creation before the end restarts it: the earlier attempt failed), the file moved in ends the one
// under way, and the temporary file removed abandons it (a failed save cleaning up). A move with
// no save under way is not a save of the server's and is ignored.
class SaveLog {
 public:
  void started(Clock::time_point at);
  void finished(Clock::time_point at);
  void abandoned();

  bool saving() const { return saving_; }
  const std::vector<Save>& saves() const { return saves_; }

 private:
  bool saving_ = false;
  Clock::time_point start_{};
  std::vector<Save> saves_;
};

// Watches `dir` from construction to destruction on a thread of its own; each event's time is
// when that thread read it, so a save's times are late by that thread's wake-up (well under a
// millisecond on an idle core). Throws std::runtime_error when inotify cannot watch `dir`.
class SaveWatcher {
 public:
  explicit SaveWatcher(const std::filesystem::path& dir);
  ~SaveWatcher();
  SaveWatcher(const SaveWatcher&) = delete;
  SaveWatcher& operator=(const SaveWatcher&) = delete;

  // Whether a save has started and not yet ended or been abandoned.
  bool saving() const { return saving_.load(std::memory_order_relaxed); }

  // Every complete save seen so far, in order.
  std::vector<Save> saves() const;

 private:
  void watch();

  int inotify_ = -1;
  int wake_ = -1;  // an eventfd that ends the thread
  mutable std::mutex mutex_;
  SaveLog log_;
  std::atomic<bool> saving_{false};
  std::thread thread_;
};

// How stale the file was after a set of acknowledgements: for each acknowledgement, the time from
// it to the end of the first save that started after it, in milliseconds. That save certainly
// holds the acknowledged change, so each figure is an upper bound (an earlier save, under way at
// the acknowledgement, may already hold it). Acknowledgements that no save in `saves` started
// after are counted in `uncovered` only.
struct Staleness {
  std::vector<double> milliseconds;
  std::size_t uncovered = 0;
};

// `saves` in order of their starts; `acks` in any order.
Staleness staleness(std::span<const Clock::time_point> acks, std::span<const Save> saves);

// Resident memory of process `pid`, from /proc/PID/status, in KiB; 0 when it cannot be read.
struct Resident {
  std::uint64_t now = 0;   // VmRSS
  std::uint64_t peak = 0;  // VmHWM: the most since start or since resetPeakResident (proc_stats.h)
};
Resident residentOf(pid_t pid);

// Samples VmRSS of `pid` every kInterval from construction to destruction, keeping the largest
// sample taken while `watcher` saw a save under way.
class SaveMemorySampler {
 public:
  static constexpr std::chrono::milliseconds kInterval{2};

  SaveMemorySampler(pid_t pid, const SaveWatcher& watcher);
  ~SaveMemorySampler();
  SaveMemorySampler(const SaveMemorySampler&) = delete;
  SaveMemorySampler& operator=(const SaveMemorySampler&) = delete;

  std::uint64_t maxDuringSavesKiB() const { return max_.load(); }
  std::uint64_t samplesDuringSaves() const { return samples_.load(); }

 private:
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> max_{0};
  std::atomic<std::uint64_t> samples_{0};
  std::thread thread_;
};

}  // namespace dirserver::bench
