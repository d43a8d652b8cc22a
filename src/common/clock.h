// Where the server reads the time. Wall seconds (since 1970) are for what people and files see:
// registration times, printed dates, names of files kept aside. The steady clock, which only moves
// forward, is for everything that measures time: deadlines, timers, hosts' ages, durations. The
// server reads systemClock(); tests hand in a SettableClock and move it themselves.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace dirserver {

using SteadyClock = std::chrono::steady_clock;

class Clock {
 public:
  // Seconds since 1970, full width.
  virtual std::int64_t wallSeconds() const = 0;
  // Milliseconds since 1970, for time stamps that other machines compare with their own clocks;
  // a clock that keeps only seconds gives whole seconds.
  virtual std::int64_t wallMilliseconds() const { return wallSeconds() * 1000; }
  // The steady clock's time point; deadlines are absolute time points on it.
  virtual SteadyClock::time_point steadyNow() const = 0;

  // The steady clock in whole seconds, or milliseconds, from its arbitrary start.
  std::int64_t steadySeconds() const {
    return std::chrono::duration_cast<std::chrono::seconds>(steadyNow().time_since_epoch()).count();
  }
  std::int64_t steadyMilliseconds() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(steadyNow().time_since_epoch())
        .count();
  }

 protected:
  ~Clock() = default;
};

// The system's clocks (time() and steady_clock); safe from any thread, lives as long as the
// program.
const Clock& systemClock();

// A clock that stands still until it is set or moved; its two clocks move independently. Safe to
// read from any thread while one thread moves it.
class SettableClock final : public Clock {
 public:
  explicit SettableClock(std::int64_t wallSeconds = 1'700'000'000) : wallMs_(wallSeconds * 1000) {}

  std::int64_t wallSeconds() const override {
    const std::int64_t ms = wallMs_.load(std::memory_order_relaxed);
    return ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
  }
  std::int64_t wallMilliseconds() const override { return wallMs_.load(std::memory_order_relaxed); }
  SteadyClock::time_point steadyNow() const override {
    return SteadyClock::time_point(SteadyClock::duration(steady_.load(std::memory_order_relaxed)));
  }

  void setWall(std::int64_t seconds) { wallMs_.store(seconds * 1000, std::memory_order_relaxed); }
  void setWallMilliseconds(std::int64_t ms) { wallMs_.store(ms, std::memory_order_relaxed); }
  // Moves the steady clock forward by `by`.
  void advance(SteadyClock::duration by) {
    steady_.fetch_add(by.count(), std::memory_order_relaxed);
  }

 private:
  std::atomic<std::int64_t> wallMs_;
  // Far from the epoch, so that a time point computed backwards from it is still positive.
  std::atomic<SteadyClock::rep> steady_{
      std::chrono::duration_cast<SteadyClock::duration>(std::chrono::hours(1000)).count()};
};

}  // namespace dirserver
