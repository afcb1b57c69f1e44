// The twelve leg joints of the simulated robot: rigid bodies with inertia,
// viscous friction and hard stops, each driven by its motor.
#pragma once

#include <array>

#include "kalvent_legged_sdk/quadruped.h"
#include "low_level_model.h"

namespace kalvent_sim {

// Weight of the simulated robot, N.
constexpr double kRobotWeight = 12.0 * 9.81;

// The terms a motor applies for its command:
//   τ = kp·(qDes − q) + kd·(dqDes − dq) + ff.
// Mode 0 gives all zeros; PosStopF and VelStopF zero their term's gain.
struct MotorLaw {
  double kp = 0, kd = 0, qDes = 0, dqDes = 0, ff = 0;

  double torque(double q, double dq) const { return kp * (qDes - q) + kd * (dqDes - dq) + ff; }
};

// The law for `target`, or the protective damping when `damping` is on.
MotorLaw motorLaw(const MotorTarget& target, bool damping);

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

// Twelve independent joints without weight. Each step integrates
//   J·ddq = τ − b·dq,  τ = Kp·(q_des − q) + Kd·(dq_des − dq) + τ_ff
// implicitly in the stiffness and damping terms, so any step size is stable
// for any non-negative gains, then applies the hard stops. The feet carry
// the crude standing model's force and the trunk stays level.
class JointModel : public LowLevelModel {
 public:
  // Longest step advance() takes, s.
  static constexpr double kMaxStep = 0.0002;

  explicit JointModel(KALVENT_LEGGED_SDK::LeggedType model);

  void setTarget(int joint, const MotorTarget& target) override;
  const MotorTarget& target(int joint) const override { return joints_[joint].target; }

  void setDamping(bool on) override { damping_ = on; }
  bool damping() const { return damping_; }

  // Puts a joint at `q` (kept within its stops) moving at `dq`.
  void setState(int joint, double q, double dq);

  // Advances every joint by `dt` seconds in one step.
  void step(double dt);
  void advance(double seconds) override;

  double q(int joint) const override { return joints_[joint].q; }
  double dq(int joint) const override { return joints_[joint].dq; }
  double ddq(int joint) const override { return joints_[joint].ddq; }
  double torque(int joint) const override { return joints_[joint].torque; }
  double footForce(int leg) const override;
  ImuReading imu() const override;
  // The crude standing model's mean leg height: the trunk's height when it
  // stands, the belly's when it lies.
  double trunkHeight() const override;
  double commandedHeight() const override;
  double weight() const override { return kRobotWeight; }
  // Unknown: the joints have no places.
  bool linkFrames(LinkFrames*) const override { return false; }
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
