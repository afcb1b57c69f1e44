#include "measure.h"

#include <time.h>

#include <algorithm>
#include <cmath>

namespace kalvent_linkcheck {

int64_t monotonicNs() noexcept {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

namespace {

double nearestRank(const std::vector<double>& sorted, double share) {
  const auto rank = static_cast<size_t>(std::ceil(share * static_cast<double>(sorted.size())));
  return sorted[std::min(sorted.size(), std::max<size_t>(rank, 1)) - 1];
}

}  // namespace

Distribution summarize(std::vector<double> samples) {
  Distribution d;
  d.count = samples.size();
  if (samples.empty()) {
    d.min = d.p50 = d.p99 = d.max = NAN;
    return d;
  }
  std::sort(samples.begin(), samples.end());
  d.min = samples.front();
  d.p50 = nearestRank(samples, 0.5);
  d.p99 = nearestRank(samples, 0.99);
  d.max = samples.back();
  return d;
}

std::string schedulingText(const KALVENT_LEGGED_SDK::RealtimeReport& realtime) {
  if (!realtime.fifoScheduling) return "not real-time (SCHED_OTHER)";
  return "SCHED_FIFO " + std::to_string(realtime.priority) +
         (realtime.memoryLocked ? ", memory locked" : ", memory not locked");
}

JsonObject toJson(const Distribution& d) {
  JsonObject o;
  o.integer("count", d.count)
      .number("min", d.min)
      .number("p50", d.p50)
      .number("p99", d.p99)
      .number("max", d.max);
  return o;
}

}  // namespace kalvent_linkcheck
