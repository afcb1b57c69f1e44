// Clock readings and the summary of a set of timings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "json.h"
#include "kalvent_legged_sdk/realtime.h"

namespace kalvent_linkcheck {

// CLOCK_MONOTONIC, ns.
int64_t monotonicNs() noexcept;

// Order statistics of a set of samples, in the samples' unit. All NaN when
// there were none.
struct Distribution {
  size_t count = 0;
  double min;
  double p50;
  double p99;
  double max;
};

// Percentiles by nearest rank.
Distribution summarize(std::vector<double> samples);
// How the measuring thread ran, for the readable report: "SCHED_FIFO 99,
// memory locked" or "not real-time (SCHED_OTHER)".
std::string schedulingText(const KALVENT_LEGGED_SDK::RealtimeReport& realtime);

// {"count":..,"min":..,"p50":..,"p99":..,"max":..}
JsonObject toJson(const Distribution& d);

}  // namespace kalvent_linkcheck
