// A latency histogram that one thread fills and any thread reads: fixed upper bounds, a count per
// bucket, the sum and the count of observations, as a Prometheus histogram reports them.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace dirserver {

// Upper bounds of the buckets, in seconds: 50 microseconds to 10 seconds, 1, 2 and 5 in every
// decade, so that a commit's 1, 2, 5, 10, 20, 50, 100, 200 and 500 ms each have their bucket.
// Whatever takes longer counts only in the total (the "+Inf" bucket).
inline constexpr std::array<double, 17> kLatencyBounds = {
    0.00005, 0.0001, 0.0002, 0.0005, 0.001, 0.002, 0.005, 0.01, 0.02,
    0.05,    0.1,    0.2,    0.5,    1.0,   2.0,   5.0,   10.0};

class LatencyHistogram {
 public:
  static constexpr std::size_t kBuckets = kLatencyBounds.size();

  // Counts one observation of `took`. Safe to call from one thread at a time, and to read
  // concurrently from others (each figure is read on its own, so a reader may see an observation
  // in the count a moment before it sees it in its bucket).
  void observe(std::chrono::nanoseconds took) {
    const auto nanoseconds = static_cast<std::uint64_t>(took.count() < 0 ? 0 : took.count());
    for (std::size_t bucket = 0; bucket < kBuckets; ++bucket) {
      if (static_cast<double>(nanoseconds) <= kLatencyBounds[bucket] * 1e9) {
        buckets_[bucket].fetch_add(1, std::memory_order_relaxed);
        break;
      }
    }
    count_.fetch_add(1, std::memory_order_relaxed);
    sumNanoseconds_.fetch_add(nanoseconds, std::memory_order_relaxed);
  }

  // Observations of at most kLatencyBounds[bucket] seconds, cumulative as Prometheus reports them.
  std::uint64_t cumulative(std::size_t bucket) const {
    std::uint64_t total = 0;
    for (std::size_t i = 0; i <= bucket && i < kBuckets; ++i) {
      total += buckets_[i].load(std::memory_order_relaxed);
    }
    return total;
  }
  std::uint64_t count() const { return count_.load(std::memory_order_relaxed); }
  double sumSeconds() const {
    return static_cast<double>(sumNanoseconds_.load(std::memory_order_relaxed)) / 1e9;
  }

 private:
  std::array<std::atomic<std::uint64_t>, kBuckets> buckets_{};
  std::atomic<std::uint64_t> count_{0};
  std::atomic<std::uint64_t> sumNanoseconds_{0};
};

}  // namespace dirserver
