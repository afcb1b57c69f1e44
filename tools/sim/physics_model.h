// The simulated robot as rigid bodies: the quadruped of quadruped.xml in
// MuJoCo under gravity, on a ground plane with friction, its joints held by
// the robot model's stops and driven by the motor law.
#pragma once

#include <array>

#include "kalvent_legged_sdk/quadruped.h"
#include "low_level_model.h"
#include "robot_model.h"

namespace kalvent_sim {

class PhysicsModel : public LowLevelModel {
 public:
  // Longest physics step advance() takes, s (2 kHz).
  static constexpr double kMaxStep = 0.0005;

  // The robot lying on its belly, at rest, legs folded: the pose it is in
  // when the controller starts.
  explicit PhysicsModel(KALVENT_LEGGED_SDK::LeggedType model);

  // Puts the robot at rest with its trunk level, centre `height` above the
  // ground, and the joints at `q` (each kept within its stops).
  void place(double height, const std::array<double, kJoints>& q);

  void setTarget(int joint, const MotorTarget& target) override;
  const MotorTarget& target(int joint) const override { return targets_[joint]; }
  void setDamping(bool on) override { damping_ = on; }
  void advance(double seconds) override;

  double q(int joint) const override;
  double dq(int joint) const override;
  double ddq(int joint) const override { return ddq_[joint]; }
  // The motor's torque applied over the last step, within its force range.
  double torque(int joint) const override { return torque_[joint]; }
  // Mean normal force from the ground over the last advance().
  double footForce(int leg) const override { return footForce_[leg]; }
  ImuReading imu() const override;
  double trunkHeight() const override;
  // The trunk's centre, world frame, m: x and y from where the robot
  // started, z above the ground.
  std::array<double, 3> trunkPosition() const;
  // The trunk centre's velocity, world frame, m/s.
  std::array<double, 3> trunkVelocity() const;
  double commandedHeight() const override;
  double weight() const override;
  bool linkFrames(LinkFrames* frames) const override;

  // Kinetic (armature included) plus gravitational energy, J (zero height:
  // the ground).
  double energy() const;
  double mass() const;  // kg
  // Half the trunk's height: the trunk's centre height lying on its belly, m.
  double bellyHeight() const;

  // The compiled model and its state; the positions are what a renderer
  // draws.
  const mjModel& model() const { return *model_; }
  const mjData& data() const { return *data_; }

 private:
  void step(double dt);

  ModelPtr model_;
  DataPtr data_;
  int trunk_;
  int trunkGeom_;
  std::array<int, kLegs> footGeoms_{};
  std::array<int, kLegs * kFramesPerLeg> legBodies_{};
  int orientationSensor_, gyroSensor_, accelerometerSensor_;
  std::array<MotorTarget, kJoints> targets_{};
  bool damping_ = false;
  std::array<double, kJoints> torque_{};
  std::array<double, kJoints> ddq_{};
  std::array<double, kLegs> footForce_{};
  std::array<double, kLegs> footImpulse_{};
};

}  // namespace kalvent_sim
