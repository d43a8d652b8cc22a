// Latency figures of one workload: the samples each client thread takes, and their percentiles.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace dirserver::bench {

// The nearest-rank percentile of `sorted` (ascending): the smallest sample that at least
// `fraction` (0 to 1) of all samples do not exceed. 0 for an empty sample set.
double percentile(std::span<const double> sorted, double fraction);

// What a table shows of a set of latencies, in milliseconds. All zero when there is no sample.
struct LatencySummary {
  std::size_t count = 0;
  double p50 = 0;
  double p99 = 0;
  double max = 0;
};

// Summarises samples in any order (sorts them in place).
LatencySummary summarize(std::vector<double>& samples);

}  // namespace dirserver::bench
