// The two clocks of the dashboard: CLOCK_MONOTONIC for ages and pacing,
// CLOCK_REALTIME for the times the page compares with its own.
#pragma once

#include <time.h>

#include <cstdint>

namespace kalvent_dash {

inline int64_t monotonicNs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

inline double wallMs() {
  timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) * 1e-6;
}

}  // namespace kalvent_dash
