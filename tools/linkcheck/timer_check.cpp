#include "timer_check.h"

#include <time.h>

#include <cstdio>
#include <vector>

#include "measure.h"

namespace kalvent_linkcheck {

namespace {

// Lateness bounds for the verdict, µs: a loop this late now and then still
// keeps a 2 ms period; one later than the period has missed a cycle.
constexpr double kGoodMaxUs = 500;
constexpr double kPeriodUs = kTimerPeriodNs / 1e3;

timespec toTimespec(int64_t ns) {
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

}  // namespace

CheckItem checkTimer(double seconds, const KALVENT_LEGGED_SDK::RealtimeReport& realtime) {
  const auto wakes = static_cast<size_t>(seconds * 1e9 / kTimerPeriodNs);
  std::vector<double> lateUs;
  lateUs.reserve(wakes);
  int64_t deadline = monotonicNs() + kTimerPeriodNs;
  for (size_t i = 0; i < wakes; ++i) {
    const timespec at = toTimespec(deadline);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) != 0) {
    }
    const int64_t now = monotonicNs();
    lateUs.push_back(static_cast<double>(now - deadline) / 1e3);
    // A loop that overran skips the deadlines already past, as a periodic
    // loop would.
    deadline += kTimerPeriodNs;
    while (deadline <= now) deadline += kTimerPeriodNs;
  }
  const Distribution d = summarize(lateUs);

  CheckItem item;
  item.key = "timer";
  item.title = "timer";
  char finding[256];
  std::snprintf(finding, sizeof finding,
                "2 ms loop for %.1f s, %s: late by min %.0f, median %.0f, p99 %.0f, max %.0f us",
                seconds, schedulingText(realtime).c_str(), d.min, d.p50, d.p99, d.max);
  item.finding = finding;
  if (d.max < kGoodMaxUs) {
    item.verdict = Verdict::Ok;
  } else {
    item.verdict = d.max < kPeriodUs ? Verdict::Warn : Verdict::Fail;
    item.fix = realtime.fifoScheduling
                   ? "use a PREEMPT_RT kernel, the performance governor, a held cpu_dma_latency "
                     "and an isolated CPU for the loop (see above)"
                   : "let the program run SCHED_FIFO (raise RLIMIT_RTPRIO, see above) and check "
                     "again";
  }
  item.facts.boolean("fifo", realtime.fifoScheduling)
      .integer("priority", static_cast<uint64_t>(realtime.priority))
      .boolean("memory_locked", realtime.memoryLocked)
      .number("period_us", kPeriodUs)
      .number("seconds", seconds)
      .object("lateness_us", toJson(d));
  return item;
}

}  // namespace kalvent_linkcheck
