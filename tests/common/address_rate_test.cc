#include "common/address_rate.h"

#include <gtest/gtest.h>

namespace dirserver {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kA = 1, kB = 2;

// How many takes in a row `address` is allowed at `now`, up to `most`.
int takesAllowed(AddressRate& rate, std::uint32_t address, SteadyClock::time_point now,
                 int most = 1000) {
  int allowed = 0;
  while (allowed < most && rate.take(address, now)) ++allowed;
  return allowed;
}

TEST(AddressRate, ABurstThenTheAverageEachAddressOnItsOwn) {
  SettableClock clock;
  AddressRate rate(60, 64);
  EXPECT_EQ(takesAllowed(rate, kA, clock.steadyNow()), 64);
  // Another address has a bucket of its own.
  EXPECT_EQ(takesAllowed(rate, kB, clock.steadyNow()), 64);
  // A second brings one token back; refusals meanwhile take nothing.
  clock.advance(999ms);
  EXPECT_FALSE(rate.take(kA, clock.steadyNow()));
  clock.advance(1ms);
  EXPECT_EQ(takesAllowed(rate, kA, clock.steadyNow()), 1);
  clock.advance(10s);
  EXPECT_EQ(takesAllowed(rate, kA, clock.steadyNow()), 10);
  // However long the address stays away, it gets the burst back and no more.
  clock.advance(std::chrono::hours(24 * 365));
  EXPECT_EQ(takesAllowed(rate, kA, clock.steadyNow()), 64);
}

TEST(AddressRate, SlowRatesAreExactAndZeroIsNoLimit) {
  SettableClock clock;
  AddressRate once(1, 1);
  EXPECT_TRUE(once.take(kA, clock.steadyNow()));
  clock.advance(59'999ms);
  EXPECT_FALSE(once.take(kA, clock.steadyNow()));
  clock.advance(1ms);
  EXPECT_TRUE(once.take(kA, clock.steadyNow()));

  AddressRate off(0, 64);
  EXPECT_EQ(takesAllowed(off, kA, clock.steadyNow()), 1000);
  EXPECT_EQ(off.size(), 0u);
}

TEST(AddressRate, TheTableStaysWithinItsCapacityAndCountsBucketsItLost) {
  SettableClock clock;
  AddressRate rate(60, 2, 3);
  for (std::uint32_t address = 1; address <= 3; ++address) {
    EXPECT_TRUE(rate.take(address, clock.steadyNow()));
  }
  // Address 1 is used again, so 2 is the one used longest ago when 4 comes.
  EXPECT_TRUE(rate.take(1, clock.steadyNow()));
  EXPECT_FALSE(rate.take(1, clock.steadyNow()));
  EXPECT_TRUE(rate.take(4, clock.steadyNow()));
  EXPECT_EQ(rate.size(), 3u);
  EXPECT_EQ(rate.lostBuckets(), 1u);
  // 1 kept its empty bucket; 2 starts afresh.
  EXPECT_FALSE(rate.take(1, clock.steadyNow()));
  EXPECT_EQ(takesAllowed(rate, 2, clock.steadyNow()), 2);
  EXPECT_EQ(rate.lostBuckets(), 2u);  // 3 went for it, not yet full again
  // A bucket that has filled up again goes without loss.
  clock.advance(2s);
  for (std::uint32_t address = 100; address < 103; ++address) rate.take(address, clock.steadyNow());
  EXPECT_EQ(rate.size(), 3u);
  EXPECT_EQ(rate.lostBuckets(), 2u);
}

}  // namespace
}  // namespace dirserver
