#include "persist/write_rate.h"

#include <algorithm>

namespace dirserver {

WriteRateController::WriteRateController(WriteRateLimits limits)
    : limits_(limits),
      rate_(std::clamp(limits.startBytesPerSecond, limits.floorBytesPerSecond,
                       limits.ceilingBytesPerSecond)) {}

void WriteRateController::begin(TimePoint now) {
  nextFree_ = now;
  // The time between two writes counts as quiet unless a slow commit shows otherwise.
  if (lastGrowth_ == TimePoint()) lastGrowth_ = now;
}

void WriteRateController::observeCommit(Duration latency, TimePoint now) {
  if (latency <= limits_.latencyTarget) {
    grow(now);
    return;
  }
  // No growth for the time that ended in a slow commit.
  lastGrowth_ = now;
  if (decreased_ && now - lastDecrease_ < limits_.decreaseSpacing) return;
  decreased_ = true;
  lastDecrease_ = now;
  rate_ = std::max(limits_.floorBytesPerSecond, rate_ * limits_.decreaseFactor);
}

WriteRateController::Duration WriteRateController::delayBefore(std::uint64_t bytes, TimePoint now) {
  grow(now);
  if (rate_ >= limits_.ceilingBytesPerSecond) {
    nextFree_ = now;
    return Duration::zero();
  }
  // Time the writer spent elsewhere (blocked on the disk, say) earns it no burst later.
  const TimePoint start = std::max(now, nextFree_);
  const std::chrono::duration<double> cost(static_cast<double>(bytes) / rate_);
  nextFree_ = start + std::chrono::duration_cast<Duration>(cost);
  return start - now;
}

void WriteRateController::grow(TimePoint now) {
  if (now <= lastGrowth_) return;
  const double seconds = std::chrono::duration<double>(now - lastGrowth_).count();
  lastGrowth_ = now;
  rate_ = std::min(limits_.ceilingBytesPerSecond, rate_ + limits_.increasePerSecond * seconds);
}

}  // namespace dirserver
