// The tool's output on stdout: a readable report or one JSON object.
#pragma once

#include <vector>

#include "check_item.h"
#include "kalvent_legged_sdk/realtime.h"
#include "link_check.h"
#include "options.h"

namespace kalvent_linkcheck {

void printMachineReport(const std::vector<CheckItem>& items, bool json);
void printLinkReport(const Options& options, const LinkResult& result,
                     const KALVENT_LEGGED_SDK::RealtimeReport& realtime);

}  // namespace kalvent_linkcheck
