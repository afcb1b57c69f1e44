#include "measure.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace kalvent_linkcheck {

Json jsonNumber(double value) {
  if (!std::isfinite(value)) return nullptr;
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  const double rounded = std::strtod(text, nullptr);
  // Whole numbers within a double's exact range read as integers: 3, not 3.0.
  constexpr double kExactIntegers = 9007199254740992.0;
  if (rounded == std::floor(rounded) && std::fabs(rounded) < kExactIntegers) {
    return static_cast<int64_t>(rounded);
  }
  return rounded;
}

std::string schedulingText(const KALVENT_LEGGED_SDK::RealtimeReport& realtime) {
  if (!realtime.fifoScheduling) return "not real-time (SCHED_OTHER)";
  return "SCHED_FIFO " + std::to_string(realtime.priority) +
         (realtime.memoryLocked ? ", memory locked" : ", memory not locked");
}

Json toJson(const Distribution& d) {
  return Json{{"count", d.count},
              {"min", jsonNumber(d.min)},
              {"p50", jsonNumber(d.p50)},
              {"p99", jsonNumber(d.p99)},
              {"max", jsonNumber(d.max)}};
}

}  // namespace kalvent_linkcheck
