// When the server list file is written: the policy of the server core, apart from any thread or
// file, so that tests drive it with the time they choose.
#pragma once

#include <chrono>
#include <optional>

namespace dirserver {

// Tracks whether the registry holds changes the file does not, and decides when the next save may
// start:
// - at most one save is in flight; changes made meanwhile are covered by one following save;
// - a save starts no sooner than the previous one's duration after it ended, so that under a
//   continuous stream of changes the saver is idle at least half of the time;
// - a failed save is retried at the next change, not at once (a full or read-only disk would
//   otherwise be hammered), and at an orderly stop.
class SaveScheduler {
 public:
  using Clock = std::chrono::steady_clock;

  // The registry changed in a way the file shows.
  void changed() { dirty_ = true; }

  // Whether a save should start at `now`. When `stopping`, anything not in the file is saved at
  // once, a failed save's changes included, without waiting out the pause.
  bool due(Clock::time_point now, bool stopping = false) const {
    if (inFlight_) return false;
    if (stopping) return dirty_ || failed_;
    return dirty_ && now >= notBefore_;
  }

  // When a pending save becomes due, if one is pending and waits for the pause to end.
  std::optional<Clock::time_point> dueAt() const {
    if (!dirty_ || inFlight_) return std::nullopt;
    return notBefore_;
  }

  void started(Clock::time_point now) {
    dirty_ = false;
    inFlight_ = true;
    startedAt_ = now;
  }

  void finished(Clock::time_point now, bool saved) {
    inFlight_ = false;
    lastDuration_ = now - startedAt_;
    notBefore_ = now + lastDuration_;
    failed_ = !saved;
  }

  bool inFlight() const { return inFlight_; }
  // Whether the file lacks a change: pending, in flight, or lost with a failed save.
  bool unsaved() const { return dirty_ || inFlight_ || failed_; }
  Clock::duration lastDuration() const { return lastDuration_; }

 private:
  bool dirty_ = false;
  bool inFlight_ = false;
  bool failed_ = false;
  Clock::time_point startedAt_{};
  Clock::time_point notBefore_{};
  Clock::duration lastDuration_{};
};

}  // namespace dirserver
