// The simulated robot as rigid bodies: the quadruped of quadruped.urdf as
// one Bullet multibody under gravity, on a ground plane with friction, its
// joints held by the robot model's stops and driven by the motor law.
#pragma once

#include <array>
#include <memory>

#include "kalvent_legged_sdk/quadruped.h"
#include "low_level_model.h"
#include "robot_description.h"

namespace kalvent_sim {

class PhysicsModel : public LowLevelModel {
 public:
  // Longest physics step advance() takes, s (2 kHz).
  static constexpr double kMaxStep = 0.0005;
  // Friction coefficient between a foot or the trunk and the ground.
  static constexpr double kGroundFriction = 0.7;

  // The robot lying on its belly, at rest, legs folded: the pose it is in
  // when the controller starts.
  explicit PhysicsModel(KALVENT_LEGGED_SDK::LeggedType model);
  ~PhysicsModel() override;
  PhysicsModel(const PhysicsModel&) = delete;
  PhysicsModel& operator=(const PhysicsModel&) = delete;

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
  double torque(int joint) const override { return torque_[joint]; }
  // Mean normal force from the ground over the last advance().
  double footForce(int leg) const override { return footForce_[leg]; }
  ImuReading imu() const override;
  double trunkHeight() const override;
  double commandedHeight() const override;
  double weight() const override;
  bool linkFrames(LinkFrames* frames) const override;

  // Kinetic plus gravitational energy of all bodies, J (zero height: ground).
  double energy() const;
  double mass() const { return description_.totalMass(); }  // kg

 private:
  struct World;

  void step(double dt);

  const RobotDescription& description_;
  std::unique_ptr<World> world_;
  std::array<MotorTarget, kJoints> targets_{};
  bool damping_ = false;
  std::array<double, kJoints> torque_{};
  std::array<double, kJoints> ddq_{};
  std::array<double, kLegs> footForce_{};
  std::array<double, kLegs> footImpulse_{};
  std::array<double, 3> trunkAcceleration_{};  // world frame, m/s²
};

}  // namespace kalvent_sim
