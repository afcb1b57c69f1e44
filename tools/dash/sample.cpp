#include "sample.h"

#include <kalvent_log/high_state.hpp>
#include <kalvent_log/low_cmd.hpp>
#include <kalvent_log/low_state.hpp>
#include <limits>

#include "kalvent_legged_sdk/leg_kinematics.h"

namespace sdk = KALVENT_LEGGED_SDK;

namespace kalvent_dash {

namespace {

// Both kinds of record name their fields alike within a kind; these copy
// what the two kinds share.
template <typename Imu>
void copyImu(const Imu& imu, Sample* s) {
  for (int i = 0; i < 4; ++i) s->quaternion[i] = imu.quaternion[i];
  for (int i = 0; i < 3; ++i) {
    s->gyro[i] = imu.gyroscope[i];
    s->accel[i] = imu.accelerometer[i];
    s->rpy[i] = imu.rpy[i];
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

Sample sampleOf(const sdk::LowState& state) {
  Sample s;
  s.level = Level::Low;
  s.tick = state.tick;
  s.motorsKnown = true;
  for (int k = 0; k < kJoints; ++k) {
    const sdk::MotorState motor = state.motorState[k];
    s.q[k] = motor.q;
    s.dq[k] = motor.dq;
    s.tauEst[k] = motor.tauEst;
  }
  const sdk::IMU imu = state.imu;
  copyImu(imu, &s);
  for (int leg = 0; leg < kLegs; ++leg) s.footForce[leg] = state.footForce[leg];
  return s;
}

Sample sampleOf(const sdk::HighState& state) {
  Sample s;
  s.level = Level::High;
  s.tick = state.tick;
  const sdk::IMU imu = state.imu;
  copyImu(imu, &s);
  std::array<sdk::Vec3, kLegs> feet;
  for (int leg = 0; leg < kLegs; ++leg) {
    const sdk::Cartesian foot = state.footPosition2Body[leg];
    feet[leg] = {foot.x, foot.y, foot.z};
    s.footForce[leg] = state.footForce[leg];
  }
  anglesFromFeet(feet, &s);
  s.mode = state.mode;
  s.position = {state.forwardPosition, state.sidePosition, 0};
  s.velocity = {state.forwardSpeed, state.sideSpeed, state.updownSpeed};
  s.yawSpeed = state.rotateSpeed;
  s.bodyHeight = state.bodyHeight;
  return s;
}

Targets targetsOf(const sdk::LowCmd& cmd) {
  Targets t;
  for (int k = 0; k < kJoints; ++k) t[k] = targetOf(cmd.motorCmd[k].q);
  return t;
}

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
