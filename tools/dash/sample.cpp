#include "sample.h"

#include <kalvent_log/high_state.hpp>
#include <kalvent_log/low_cmd.hpp>
#include <kalvent_log/low_state.hpp>
#include <limits>

#include "kalvent_legged_sdk/comm.h"
#include "kalvent_legged_sdk/leg_kinematics.h"

namespace sdk = KALVENT_LEGGED_SDK;

namespace kalvent_dash {

namespace {

// The IMU's figures, which both levels' states carry under the same names.
template <typename State>
void copyImu(const State& state, Sample* s) {
  for (int i = 0; i < 4; ++i) s->quaternion[i] = state.quaternion[i];
  for (int i = 0; i < 3; ++i) {
    s->gyro[i] = state.gyroscope[i];
    s->accel[i] = state.accelerometer[i];
    s->rpy[i] = state.rpy[i];
  }
}

// The joint angles that put each foot where the high-level state says it is.
void anglesFromFeet(const std::array<sdk::Vec3, kLegs>& feet, Sample* s) {
  const sdk::LegKinematics kinematics;
  for (int leg = 0; leg < kLegs; ++leg) {
    sdk::Vec3 q{0, 0, 0};
    kinematics.inverseKinematics(leg, feet[leg], q);
    for (int j = 0; j < 3; ++j) s->q[3 * leg + j] = q[j];
  }
}

double targetOf(float q) {
  return q == static_cast<float>(sdk::PosStopF) ? std::numeric_limits<double>::quiet_NaN() : q;
}

}  // namespace

Sample sampleOf(const kalvent_log::low_state& state) {
  Sample s;
  s.level = Level::Low;
  s.tick = static_cast<uint32_t>(state.tick);
  s.motorsKnown = true;
  for (int k = 0; k < kJoints; ++k) {
    s.q[k] = state.q[k];
    s.dq[k] = state.dq[k];
    s.tauEst[k] = state.tau_est[k];
  }
  copyImu(state, &s);
  for (int leg = 0; leg < kLegs; ++leg) s.footForce[leg] = state.foot_force[leg];
  return s;
}

Sample sampleOf(const kalvent_log::high_state& state) {
  Sample s;
  s.level = Level::High;
  s.tick = static_cast<uint32_t>(state.tick);
  copyImu(state, &s);
  std::array<sdk::Vec3, kLegs> feet;
  for (int leg = 0; leg < kLegs; ++leg) {
    feet[leg] = {state.foot_position_to_body[leg][0], state.foot_position_to_body[leg][1],
                 state.foot_position_to_body[leg][2]};
    s.footForce[leg] = state.foot_force[leg];
  }
  anglesFromFeet(feet, &s);
  s.mode = state.mode;
  s.position = {state.forward_position, state.side_position, 0};
  s.velocity = {state.forward_speed, state.side_speed, state.updown_speed};
  s.yawSpeed = state.rotate_speed;
  s.bodyHeight = state.body_height;
  return s;
}

Targets targetsOf(const kalvent_log::low_cmd& cmd) {
  Targets t;
  for (int k = 0; k < kJoints; ++k) t[k] = targetOf(cmd.q[k]);
  return t;
}

}  // namespace kalvent_dash
