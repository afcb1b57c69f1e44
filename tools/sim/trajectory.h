// The trajectory file: one CSV row per sample of what the robot did.
//
// Columns, in order (angles in rad, heights in m, torques in N·m, forces
// in N; "nan" where the model or the command gives no value):
//   time, FR_0 ... RL_2            measured joint angles, motor order
//   trunk_x, trunk_y               trunk centre on the ground, from the start
//   trunk_height, roll, pitch, yaw trunk centre above the ground; IMU angles
//   commanded_height               trunk height the commanded angles give
//   FR_0_cmd ... RL_2_cmd          commanded angles (nan: no position term)
//   FR_0_tau ... RL_2_tau          motor torques
//   FR_force ... RL_force          foot contact forces
//   forward_cmd, side_cmd, rotate_cmd
//                                  speeds the high level is commanded, m/s,
//                                  m/s, rad/s (nan at the low level)
//   FR_hip_x, FR_hip_y, FR_hip_z, FR_thigh_x ... FR_knee_x ... FR_foot_x ...
//                                  ... RL_foot_z: where each leg's hip joint,
//                                  thigh joint, knee and foot are, world frame
#pragma once

#include <cstdio>

#include "controller.h"

namespace kalvent_sim {

void writeTrajectoryHeader(std::FILE* f);

// `time`: seconds since the simulator started, across controller restarts.
void writeTrajectoryRow(std::FILE* f, double time, const Controller& controller);

}  // namespace kalvent_sim
