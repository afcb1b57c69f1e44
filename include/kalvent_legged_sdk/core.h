/// @file
/// Everything of kalvent_legged_sdk but the LCM bridge: for a program that
/// talks to the robot over UDP and never uses lcm.h. It builds without LCM's
/// headers. The loops' callbacks (Callback, loop.h; StateLoop, state_loop.h)
/// are boost::function, so Boost's headers are still needed. The library
/// file is the same; kalvent_legged_sdk.h is this plus the bridge.
#pragma once

#include "kalvent_legged_sdk/clock.h"
#include "kalvent_legged_sdk/comm.h"
#include "kalvent_legged_sdk/leg_kinematics.h"
#include "kalvent_legged_sdk/link_health.h"
#include "kalvent_legged_sdk/log.h"
#include "kalvent_legged_sdk/loop.h"
#include "kalvent_legged_sdk/loop_status.h"
#include "kalvent_legged_sdk/pelk_const.h"
#include "kalvent_legged_sdk/quadruped.h"
#include "kalvent_legged_sdk/realtime.h"
#include "kalvent_legged_sdk/recorder.h"
#include "kalvent_legged_sdk/result.h"
#include "kalvent_legged_sdk/safety.h"
#include "kalvent_legged_sdk/state_loop.h"
#include "kalvent_legged_sdk/tesmar_const.h"
#include "kalvent_legged_sdk/udp.h"
