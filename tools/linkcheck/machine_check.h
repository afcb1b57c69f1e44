// The machine's real-time settings: limits, capabilities, kernel, CPU
// frequency, power-management latency and isolated CPUs.
#pragma once

#include <vector>

#include "check_item.h"

namespace kalvent_linkcheck {

// Reads the settings of this process and machine; changes nothing (the
// cpu_dma_latency probe holds the device only while it looks).
std::vector<CheckItem> checkMachine();

}  // namespace kalvent_linkcheck
