// How fast the checkpoint writer may write: a rate that backs off when the commits beside it slow
// down and grows back when they are quick again. The commits' latency is the signal because it is
// what a checkpoint must not hurt: its writes share the disk's queue with every commit's sync.
// Policy only: no thread, no clock of its own, no file, so that tests drive it with the times and
// latencies they choose.
#pragma once

#include <chrono>
#include <cstdint>

namespace dirserver {

struct WriteRateLimits {
  using Duration = std::chrono::steady_clock::duration;
  // Never slower than this, so that a checkpoint always finishes (1.9 GB at 65,531 hosts takes two
  // minutes at the floor).
  double floorBytesPerSecond = 16.0 * (1 << 20);
  // At or above this rate the writer is not held back at all.
  double ceilingBytesPerSecond = 1024.0 * (1 << 20);
  // Where the rate starts; after that, each checkpoint goes on from where the last one left it.
  double startBytesPerSecond = 1024.0 * (1 << 20);
  // Growth for each second in which no commit took longer than `latencyTarget`.
  double increasePerSecond = 64.0 * (1 << 20);
  // What a commit slower than `latencyTarget` multiplies the rate by.
  double decreaseFactor = 0.5;
  // A commit at or below this took no harm from the checkpoint: a bare write and fdatasync here
  // takes 1 to 2 ms at the median and up to 10 ms when the machine is busy.
  Duration latencyTarget = std::chrono::milliseconds(8);
  // Slow commits closer together than this are one episode, answered by one back-off: a burst of
  // them must not cut the rate to the floor before the first cut has had any effect.
  Duration decreaseSpacing = std::chrono::milliseconds(100);
};

// Additive increase, multiplicative decrease of a write rate, and the waits that keep a writer to
// it. Not thread-safe: the writer's thread owns it, and the latencies come to it from the
// committer's thread through whatever hand-over the caller chooses.
class WriteRateController {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  using Duration = std::chrono::steady_clock::duration;

  explicit WriteRateController(WriteRateLimits limits = {});

  // A new write begins at `now`: what the previous one wrote is no debt of this one's. The time
  // since the previous one counts as quiet, unless the first commit observed was slow.
  void begin(TimePoint now);

  // A commit took `latency` (the slowest since the last call), seen at `now`. Above the target
  // the rate is multiplied down (once per decreaseSpacing, never below the floor); at or below
  // it, the rate grows as for a quiet stretch.
  void observeCommit(Duration latency, TimePoint now);

  // How long the writer must wait at `now` before it writes `bytes`, so that what it writes
  // keeps to the rate; the bytes are counted as written when the wait ends. Also grows the rate
  // for the quiet time since the last growth. Zero at the ceiling.
  Duration delayBefore(std::uint64_t bytes, TimePoint now);

  // The rate in bytes per second.
  double rate() const { return rate_; }

 private:
  void grow(TimePoint now);

  WriteRateLimits limits_;
  double rate_;
  TimePoint lastGrowth_{};
  TimePoint lastDecrease_{};
  bool decreased_ = false;
  TimePoint nextFree_{};  // when the bytes counted so far have had their time
};

}  // namespace dirserver
