// Order statistics of timing samples, as the tools and benchmarks report
// them: one definition of a percentile, so that their figures compare.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace KALVENT_LEGGED_SDK {

// The nearest-rank percentile of samples sorted in ascending order: the
// smallest sample with at least `share` (0 to 1) of them at or below it.
// `sorted` must not be empty.
inline double nearestRank(const std::vector<double>& sorted, double share) {
  const auto rank = static_cast<size_t>(std::ceil(share * static_cast<double>(sorted.size())));
  return sorted[std::min(sorted.size(), std::max<size_t>(rank, 1)) - 1];
}

// A set of samples summed up, in the samples' unit; all NaN when there were
// none.
struct Distribution {
  size_t count = 0;
  double min = NAN;
  double p50 = NAN;
  double p99 = NAN;
  double max = NAN;
};

inline Distribution summarize(std::vector<double> samples) {
  Distribution d;
  d.count = samples.size();
  if (samples.empty()) return d;
  std::sort(samples.begin(), samples.end());
  d.min = samples.front();
  d.p50 = nearestRank(samples, 0.5);
  d.p99 = nearestRank(samples, 0.99);
  d.max = samples.back();
  return d;
}

}  // namespace KALVENT_LEGGED_SDK
