#include "server/save_scheduler.h"

#include <gtest/gtest.h>

namespace dirserver {
namespace {

using namespace std::chrono_literals;

TEST(SaveScheduler, PausesAsLongAsTheLastSaveTookAndNeverRunsTwo) {
  SaveScheduler saves;
  const auto t0 = SaveScheduler::Clock::time_point() + 1h;
  EXPECT_FALSE(saves.due(t0));
  EXPECT_FALSE(saves.unsaved());
  saves.changed();
  ASSERT_TRUE(saves.due(t0));
  saves.started(t0);
  saves.changed();
  EXPECT_FALSE(saves.due(t0 + 1h)) << "a second save while one is in flight";
  EXPECT_FALSE(saves.dueAt().has_value());
  saves.finished(t0 + 2s, true);
  EXPECT_EQ(saves.lastDuration(), 2s);
  EXPECT_EQ(saves.dueAt(), t0 + 4s);
  EXPECT_FALSE(saves.due(t0 + 4s - 1ms));
  EXPECT_TRUE(saves.due(t0 + 4s - 1ms, /*stopping=*/true));
  EXPECT_TRUE(saves.due(t0 + 4s));
  saves.started(t0 + 4s);
  saves.finished(t0 + 5s, true);
  EXPECT_FALSE(saves.unsaved());
  EXPECT_FALSE(saves.due(t0 + 1h, true));
}

TEST(SaveScheduler, FailureWaitsForTheNextChangeButNotForAStop) {
  SaveScheduler saves;
  const auto t0 = SaveScheduler::Clock::time_point() + 1h;
  saves.changed();
  saves.started(t0);
  saves.finished(t0 + 1s, false);
  EXPECT_TRUE(saves.unsaved());
  EXPECT_FALSE(saves.due(t0 + 1h));
  EXPECT_TRUE(saves.due(t0 + 1h, /*stopping=*/true));
  saves.changed();
  EXPECT_TRUE(saves.due(t0 + 1h));
}

}  // namespace
}  // namespace dirserver
