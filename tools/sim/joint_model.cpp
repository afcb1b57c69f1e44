#include "joint_model.h"

#include <algorithm>
#include <cmath>

#include "joint_ranges.h"
#include "kalvent_legged_sdk/comm.h"

namespace kalvent_sim {

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

// Rotor inertia reflected through the gearbox plus the link, kg·m², for
// hip, thigh and calf.
const double kInertia[3] = {0.035, 0.045, 0.03};
// Viscous friction of every joint, N·m·s/rad.
const double kFriction = 0.05;
const double kGravity = 9.81;
// Damping gain the motors hold while the command stream is lost, N·m·s/rad.
const double kProtectiveKd = 3.0;

// Only the exact float patterns switch a term off; anything else is a target.
const float kPosStop = static_cast<float>(sdk::PosStopF);
const float kVelStop = static_cast<float>(sdk::VelStopF);

// Crude standing model: two 0.2 m links, belly on the ground below 0.1 m of
// leg height, fully carried from 0.3 m.
const double kLinkLength = 0.2;
const double kBellyHeight = 0.10;
const double kStandHeight = 0.30;

double legHeight(double hip, double thigh, double calf) {
  return std::cos(hip) * kLinkLength * (std::cos(thigh) + std::cos(thigh + calf));
}

}  // namespace

MotorLaw motorLaw(const MotorTarget& t, bool damping) {
  MotorLaw law;
  if (damping) {
    law.kd = kProtectiveKd;
    return law;
  }
  if (t.mode == 0) return law;
  // Negative gains or non-finite targets would drive the integration away;
  // a motor driver refuses them, and so does this one.
  if (t.q != kPosStop && std::isfinite(t.q)) {
    law.kp = std::max(0.0f, t.kp);
    law.qDes = t.q;
  }
  if (t.dq != kVelStop && std::isfinite(t.dq)) {
    law.kd = std::max(0.0f, t.kd);
    law.dqDes = t.dq;
  }
  if (std::isfinite(t.tau)) law.ff = t.tau;
  return law;
}

JointRange jointRange(sdk::LeggedType model, int joint) {
  const sdk::LegJointRanges* ranges = sdk::jointRangesOf(model);
  if (ranges == nullptr) ranges = sdk::jointRangesOf(sdk::LeggedType::Tesmar);
  const sdk::JointBounds bounds = (*ranges)[joint];
  return {bounds.min, bounds.max};
}

std::array<double, kJoints> lyingPose() {
  std::array<double, kJoints> pose{};
  for (int leg = 0; leg < 4; ++leg) {
    pose[3 * leg] = 0.0;
    pose[3 * leg + 1] = 1.12;
    pose[3 * leg + 2] = -2.65;
  }
  return pose;
}

double standingFootForce(double hip, double thigh, double calf) {
  const double height = legHeight(hip, thigh, calf);
  const double lift = (height - kBellyHeight) / (kStandHeight - kBellyHeight);
  return std::clamp(lift, 0.0, 1.0) * kRobotWeight / 4;
}

JointModel::JointModel(sdk::LeggedType model) {
  const auto pose = lyingPose();
  for (int j = 0; j < kJoints; ++j) {
    Joint& s = joints_[j];
    s.range = jointRange(model, j);
    s.inertia = kInertia[j % 3];
    s.q = std::clamp(pose[j], s.range.min, s.range.max);
    s.dq = 0;
    s.ddq = 0;
    s.torque = 0;
  }
}

void JointModel::setTarget(int joint, const MotorTarget& target) {
  joints_[joint].target = target;
}

void JointModel::setState(int joint, double q, double dq) {
  Joint& s = joints_[joint];
  s.q = std::clamp(q, s.range.min, s.range.max);
  s.dq = dq;
}

void JointModel::step(double dt) {
  for (Joint& s : joints_) {
    const MotorLaw law = motorLaw(s.target, damping_);
    // Backward Euler in q and dq: J·(v' − v)/dt = Kp·(q_des − q − dt·v')
    //   + Kd·(dq_des − v') + τ_ff − b·v'.
    const double h = dt / s.inertia;
    double v = (s.dq + h * (law.kp * (law.qDes - s.q) + law.kd * law.dqDes + law.ff)) /
               (1.0 + h * (law.kp * dt + law.kd + kFriction));
    double q = s.q + dt * v;
    if (q > s.range.max) {
      q = s.range.max;
      v = std::min(v, 0.0);
    } else if (q < s.range.min) {
      q = s.range.min;
      v = std::max(v, 0.0);
    }
    s.torque = law.torque(q, v);
    s.ddq = (v - s.dq) / dt;
    s.q = q;
    s.dq = v;
  }
}

void JointModel::advance(double seconds) {
  const int steps = static_cast<int>(std::ceil(seconds / kMaxStep - 1e-9));
  for (int i = 0; i < steps; ++i) step(seconds / steps);
}

double JointModel::footForce(int leg) const {
  return standingFootForce(q(3 * leg), q(3 * leg + 1), q(3 * leg + 2));
}

ImuReading JointModel::imu() const {
  ImuReading reading;
  reading.accelerometer[2] = kGravity;
  return reading;
}

double JointModel::trunkHeight() const {
  double sum = 0;
  for (int leg = 0; leg < kLegs; ++leg) {
    sum += legHeight(q(3 * leg), q(3 * leg + 1), q(3 * leg + 2));
  }
  return std::max(sum / kLegs, kBellyHeight);
}

double JointModel::commandedHeight() const {
  double sum = 0;
  for (int leg = 0; leg < kLegs; ++leg) {
    sum += legHeight(target(3 * leg).q, target(3 * leg + 1).q, target(3 * leg + 2).q);
  }
  return std::max(sum / kLegs, kBellyHeight);
}

}  // namespace kalvent_sim
