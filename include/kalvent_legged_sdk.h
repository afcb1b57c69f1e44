/// @file
/// Everything a user program needs from kalvent_legged_sdk: the core
/// (kalvent_legged_sdk/core.h) and the LCM bridge.
#pragma once

#include "kalvent_legged_sdk/core.h"
#include "kalvent_legged_sdk/lcm.h"
