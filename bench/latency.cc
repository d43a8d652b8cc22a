#include "latency.h"

#include <algorithm>
#include <cmath>

namespace dirserver::bench {

double percentile(std::span<const double> sorted, double fraction) {
  if (sorted.empty()) return 0;
  const double rank =
      std::ceil(std::clamp(fraction, 0.0, 1.0) * static_cast<double>(sorted.size()));
  const std::size_t index = rank < 1 ? 0 : static_cast<std::size_t>(rank) - 1;
  return sorted[std::min(index, sorted.size() - 1)];
}

LatencySummary summarize(std::vector<double>& samples) {
  LatencySummary summary;
  if (samples.empty()) return summary;
  std::sort(samples.begin(), samples.end());
  summary.count = samples.size();
  summary.p50 = percentile(samples, 0.50);
  summary.p99 = percentile(samples, 0.99);
  summary.max = samples.back();
  return summary;
}

}  // namespace dirserver::bench
