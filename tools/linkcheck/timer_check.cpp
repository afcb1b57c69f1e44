#include "timer_check.h"

#include <cstdio>
#include <vector>

#include "kalvent_legged_sdk/clock.h"
#include "measure.h"

namespace kalvent_linkcheck {

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

// Lateness bounds for the verdict, µs: a loop this late now and then still
// keeps a 2 ms period; one later than the period has missed a cycle.
constexpr double kGoodMaxUs = 500;
constexpr double kPeriodUs = kTimerPeriodNs / 1e3;

}  // namespace

CheckItem checkTimer(double seconds, const KALVENT_LEGGED_SDK::RealtimeReport& realtime) {
  const auto wakes = static_cast<size_t>(seconds * 1e9 / kTimerPeriodNs);
  std::vector<double> lateUs;
  lateUs.reserve(wakes);
  int64_t deadline = sdk::monotonicNanoseconds() + kTimerPeriodNs;
  for (size_t i = 0; i < wakes; ++i) {
    sdk::sleepUntilNanoseconds(deadline);
    const int64_t now = sdk::monotonicNanoseconds();
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
  item.facts = Json{{"fifo", realtime.fifoScheduling},
                    {"priority", static_cast<uint64_t>(realtime.priority)},
                    {"memory_locked", realtime.memoryLocked},
                    {"period_us", jsonNumber(kPeriodUs)},
                    {"seconds", jsonNumber(seconds)},
                    {"lateness_us", toJson(d)}};
  return item;
}

}  // namespace kalvent_linkcheck
