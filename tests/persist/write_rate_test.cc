#include "persist/write_rate.h"

#include <gtest/gtest.h>

namespace dirserver {
namespace {

using namespace std::chrono_literals;
using TimePoint = WriteRateController::TimePoint;

constexpr double kMiB = 1 << 20;

WriteRateLimits limits() {
  WriteRateLimits l;
  l.floorBytesPerSecond = 4 * kMiB;
  l.ceilingBytesPerSecond = 256 * kMiB;
  l.startBytesPerSecond = 64 * kMiB;
  l.increasePerSecond = 8 * kMiB;
  l.decreaseFactor = 0.5;
  l.latencyTarget = 5ms;
  l.decreaseSpacing = 100ms;
  return l;
}

TimePoint at(std::chrono::milliseconds ms) { return TimePoint() + 1h + ms; }

TEST(WriteRateTest, SlowCommitsHalveTheRateOncePerEpisodeDownToTheFloor) {
  WriteRateController rate(limits());
  rate.begin(at(0ms));
  rate.observeCommit(6ms, at(0ms));
  EXPECT_DOUBLE_EQ(rate.rate(), 32 * kMiB);
  // Slow commits within the spacing are the same episode.
  rate.observeCommit(50ms, at(40ms));
  rate.observeCommit(50ms, at(99ms));
  EXPECT_DOUBLE_EQ(rate.rate(), 32 * kMiB);
  rate.observeCommit(50ms, at(100ms));
  EXPECT_DOUBLE_EQ(rate.rate(), 16 * kMiB);
  for (int i = 2; i < 10; ++i) rate.observeCommit(50ms, at(i * 100ms));
  EXPECT_DOUBLE_EQ(rate.rate(), 4 * kMiB);
  // A commit exactly at the target is a good one: the tenth of a second since the last slow one
  // earns a tenth of a step.
  rate.observeCommit(5ms, at(1'000ms));
  EXPECT_NEAR(rate.rate(), 4.8 * kMiB, 1);
}

TEST(WriteRateTest, QuickCommitsAndQuietTimeGrowTheRateAdditivelyUpToTheCeiling) {
  WriteRateController rate(limits());
  rate.begin(at(0ms));
  rate.observeCommit(100ms, at(0ms));
  ASSERT_DOUBLE_EQ(rate.rate(), 32 * kMiB);
  // The time up to a slow commit earns nothing; half a second of quick ones earns half a step.
  rate.observeCommit(1ms, at(500ms));
  EXPECT_DOUBLE_EQ(rate.rate(), 36 * kMiB);
  // No commit at all is quiet too: the writer's own calls grow it.
  rate.delayBefore(0, at(1'500ms));
  EXPECT_DOUBLE_EQ(rate.rate(), 44 * kMiB);
  rate.observeCommit(1ms, at(1'000'000ms));
  EXPECT_DOUBLE_EQ(rate.rate(), 256 * kMiB);
  rate.observeCommit(1ms, at(1'000'001ms));
  EXPECT_DOUBLE_EQ(rate.rate(), 256 * kMiB);
}

TEST(WriteRateTest, WaitsSpreadTheBytesAtTheRateWithoutBurstsAfterAStall) {
  WriteRateLimits l = limits();
  l.increasePerSecond = 0;  // a fixed rate, to read the waits off
  l.startBytesPerSecond = 16 * kMiB;
  WriteRateController rate(l);
  rate.begin(at(0ms));
  // A slice of 1 MiB costs 62.5 ms at 16 MiB/s; the first goes at once.
  EXPECT_EQ(rate.delayBefore(1 << 20, at(0ms)), 0ms);
  EXPECT_EQ(rate.delayBefore(1 << 20, at(0ms)), 62'500us);
  EXPECT_EQ(rate.delayBefore(1 << 20, at(100ms)), 25ms);
  // A writer that stalled for a second is owed nothing for it.
  EXPECT_EQ(rate.delayBefore(1 << 20, at(1'200ms)), 0ms);
  EXPECT_EQ(rate.delayBefore(1 << 20, at(1'200ms)), 62'500us);
  // A new write does not pay for the last one's bytes.
  rate.begin(at(1'210ms));
  EXPECT_EQ(rate.delayBefore(1 << 20, at(1'210ms)), 0ms);
}

TEST(WriteRateTest, AtTheCeilingTheWriterIsNotHeldBack) {
  WriteRateLimits l = limits();
  l.startBytesPerSecond = l.ceilingBytesPerSecond;
  WriteRateController rate(l);
  rate.begin(at(0ms));
  for (int i = 0; i < 10; ++i) EXPECT_EQ(rate.delayBefore(64 << 20, at(0ms)), 0ms);
  // Out of the ceiling, the waits come back.
  rate.observeCommit(1s, at(0ms));
  EXPECT_EQ(rate.delayBefore(64 << 20, at(0ms)), 0ms);
  EXPECT_EQ(rate.delayBefore(1 << 20, at(0ms)), 500ms);
}

TEST(WriteRateTest, TheFloorHoldsWhateverTheStartAndTheFactor) {
  WriteRateLimits l = limits();
  l.startBytesPerSecond = 1;  // below the floor
  l.decreaseFactor = 0.01;
  WriteRateController rate(l);
  EXPECT_DOUBLE_EQ(rate.rate(), 4 * kMiB);
  rate.begin(at(0ms));
  rate.observeCommit(1s, at(0ms));
  EXPECT_DOUBLE_EQ(rate.rate(), 4 * kMiB);
}

}  // namespace
}  // namespace dirserver
