/// @file
/// Everything a user program needs from kalvent_legged_sdk.
#pragma once

#include "kalvent_legged_sdk/comm.h"
#include "kalvent_legged_sdk/lcm.h"
#include "kalvent_legged_sdk/leg_kinematics.h"
#include "kalvent_legged_sdk/link_health.h"
#include "kalvent_legged_sdk/loop.h"
#include "kalvent_legged_sdk/pelk_const.h"
#include "kalvent_legged_sdk/quadruped.h"
#include "kalvent_legged_sdk/realtime.h"
#include "kalvent_legged_sdk/safety.h"
#include "kalvent_legged_sdk/state_loop.h"
#include "kalvent_legged_sdk/tesmar_const.h"
#include "kalvent_legged_sdk/udp.h"
