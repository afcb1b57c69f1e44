// The twelve leg joints of the simulated robot: rigid bodies with inertia,
// viscous friction and hard stops, each driven by its motor.
#pragma once

#include <array>
#include <cstdint>

#include "kalvent_legged_sdk/quadruped.h"

namespace kalvent_sim {

// Leg joints simulated; motor slots 12 to 19 drive nothing.
constexpr int kJoints = 12;

// Weight of the simulated robot, N.
constexpr double kRobotWeight = 12.0 * 9.81;

// What one motor is told, in SI units: the wire's integer scaling undone.
struct MotorTarget {
  uint8_t mode = 0;  // 0: the motor applies no torque
  float q = 0;       // target position, rad; PosStopF switches the position term off
  float dq = 0;      // target velocity, rad/s; VelStopF switches the velocity term off
  float tau = 0;     // feed-forward torque, N·m
  float kp = 0;      // position gain, N·m/rad
  float kd = 0;      // velocity gain, N·m·s/rad
};

// Travel of one joint between its hard stops, rad.
struct JointRange {
  double min;
  double max;
};

// Travel of `joint` (motor slot 0-11) on robot `model`. The right legs' hips
// travel the mirror image of the left legs' range.
JointRange jointRange(KALVENT_LEGGED_SDK::LeggedType model, int joint);

// The pose the robot starts in: lying on its belly, legs folded.
std::array<double, kJoints> lyingPose();

// Contact force on one foot, N, from a crude standing model: the legs carry
// the body in proportion to how far they lift it off its belly.
double standingFootForce(double hip, double thigh, double calf);

// Twelve independent joints. Each step integrates
//   J·ddq = τ − b·dq,  τ = Kp·(q_des − q) + Kd·(dq_des − dq) + τ_ff
// implicitly in the stiffness and damping terms, so any step size is stable
// for any non-negative gains, then applies the hard stops.
class JointModel {
 public:
  explicit JointModel(KALVENT_LEGGED_SDK::LeggedType model);

  // Replaces the command of one joint; it holds until the next call.
  void setTarget(int joint, const MotorTarget& target);
  const MotorTarget& target(int joint) const { return joints_[joint].target; }

  // While on, the motors ignore their targets and only damp the joints, as
  // the controller does when the command stream stops.
  void setDamping(bool on) { damping_ = on; }
  bool damping() const { return damping_; }

  // Puts a joint at `q` (kept within its stops) moving at `dq`.
  void setState(int joint, double q, double dq);

  // Advances every joint by `dt` seconds.
  void step(double dt);

  double q(int joint) const { return joints_[joint].q; }
  double dq(int joint) const { return joints_[joint].dq; }
  double ddq(int joint) const { return joints_[joint].ddq; }
  // Motor torque of the last step, N·m.
  double torque(int joint) const { return joints_[joint].torque; }
  const JointRange& range(int joint) const { return joints_[joint].range; }

 private:
  struct Joint {
    JointRange range;
    double inertia;
    double q;
    double dq;
    double ddq;
    double torque;
    MotorTarget target;
  };

  std::array<Joint, kJoints> joints_;
  bool damping_ = false;
};

}  // namespace kalvent_sim
