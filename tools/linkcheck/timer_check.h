// How punctually this machine wakes a periodic loop.
#pragma once

#include "check_item.h"
#include "kalvent_legged_sdk/realtime.h"

namespace kalvent_linkcheck {

// The wake-up period measured, ns: the period of a 500 Hz control loop.
constexpr long kTimerPeriodNs = 2000000;

// Sleeps to absolute 2 ms deadlines for `seconds` on the calling thread and
// judges how late it woke. `realtime`: what set-up the calling thread got,
// reported with the figures.
CheckItem checkTimer(double seconds, const KALVENT_LEGGED_SDK::RealtimeReport& realtime);

}  // namespace kalvent_linkcheck
