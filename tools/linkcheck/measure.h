// The figures of a set of timings, and how the reports write them.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "kalvent_legged_sdk/realtime.h"
#include "percentile.h"

namespace kalvent_linkcheck {

// The --json output, its keys in the order written.
using Json = nlohmann::ordered_json;

using KALVENT_LEGGED_SDK::Distribution;
using KALVENT_LEGGED_SDK::summarize;

// A figure as the JSON output writes it: to six significant digits, a whole
// number without a fraction, and null when it is not finite (a loss not yet
// measurable).
Json jsonNumber(double value);

// How the measuring thread ran, for the readable report: "SCHED_FIFO 99,
// memory locked" or "not real-time (SCHED_OTHER)".
std::string schedulingText(const KALVENT_LEGGED_SDK::RealtimeReport& realtime);

// {"count":..,"min":..,"p50":..,"p99":..,"max":..}
Json toJson(const Distribution& d);

}  // namespace kalvent_linkcheck
