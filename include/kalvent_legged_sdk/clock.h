/// @file
/// The library's clock: CLOCK_MONOTONIC in nanoseconds. Every timestamp, age
/// and period the library measures (link health, the loops, the recorder)
/// is read from it, and the tools and benchmarks use it too, so that their
/// figures compare with the library's.
#pragma once

#include <time.h>

#include <cstdint>

namespace KALVENT_LEGGED_SDK {

/// Nanoseconds in a second.
constexpr int64_t kNanosecondsPerSecond = 1000000000;

/// CLOCK_MONOTONIC in ns (the clock of Python's time.monotonic_ns): it never
/// jumps with the wall clock. Answered by the vDSO without a system call;
/// any thread, allocates nothing.
inline int64_t monotonicNanoseconds() noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * kNanosecondsPerSecond + now.tv_nsec;
}

/// A time of that clock, or a duration, in ns (0 or more) as the timespec
/// that clock_nanosleep, ppoll and timerfd_settime take.
constexpr timespec timespecOf(int64_t ns) noexcept {
  return timespec{static_cast<time_t>(ns / kNanosecondsPerSecond),
                  static_cast<long>(ns % kNanosecondsPerSecond)};
}

/// Sleeps until CLOCK_MONOTONIC reads `ns`, however often a signal wakes the
/// thread; returns at once for a time already past.
inline void sleepUntilNanoseconds(int64_t ns) noexcept {
  const timespec at = timespecOf(ns);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) != 0) {
  }
}

}  // namespace KALVENT_LEGGED_SDK
