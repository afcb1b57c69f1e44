// The simulator's own high-level controller: stands the physics robot up,
// holds a commanded body pose, and trots at commanded speeds.
//
// Gait: a trot, the diagonal pairs FR+RL and FL+RR alternating, period
// kGaitPeriod with a duty factor of one half (each foot swings for half a
// period). Stance legs carry the body: a PD law on the trunk's height,
// attitude and speed asks for a force and a moment on the body, which a
// regularised least-squares split shares among the stance feet (friction
// cone kept), and each foot's share becomes motor torques through Jᵀf.
// Swing legs follow a raised curve, tracked by the joints' position loops,
// to a Raibert placement: under the hip when it lands, plus half a stance
// of travel, plus a correction for the speed error.
//
// The controller reads the body's state from the physics (a perfect state
// estimate) and runs every kControlPeriod of simulated time.
#pragma once

#include <array>
#include <cstdint>

#include "kalvent_legged_sdk/leg_kinematics.h"
#include "physics_model.h"

namespace kalvent_sim {

// Motion modes of the high level.
enum class HighMode : uint8_t {
  Idle = 0,   // motors damp the joints: the robot sinks down
  Stand = 1,  // stands with the commanded height and body yaw, pitch, roll
  Walk = 2,   // trots at the commanded speeds
};

// What the high level is asked for, SI units; any field not finite reads 0.
struct HighTarget {
  uint8_t mode = 0;         // a HighMode; other values idle
  double forwardSpeed = 0;  // m/s, body frame
  double sideSpeed = 0;     // m/s, to the left
  double rotateSpeed = 0;   // rad/s, to the left
  double bodyHeight = 0;    // m, offset from kDefaultHeight
  double footRaise = 0;     // m, offset from kDefaultFootRaise
  double roll = 0;          // rad, standing only
  double pitch = 0;         // rad, standing only
  double yaw = 0;           // rad from the heading the stand began with
};

class TrotController {
 public:
  static constexpr double kControlPeriod = 0.001;    // s
  static constexpr double kGaitPeriod = 0.3;         // s, a full trot cycle
  static constexpr double kDefaultHeight = 0.30;     // m, trunk centre above the ground
  static constexpr double kDefaultFootRaise = 0.06;  // m
  static constexpr double kStandUpSeconds = 1.2;
  // Limits the commands are kept within.
  static constexpr double kMaxForwardSpeed = 1.2;   // m/s
  static constexpr double kMaxSideSpeed = 0.5;      // m/s
  static constexpr double kMaxRotateSpeed = 1.5;    // rad/s
  static constexpr double kMaxHeightOffset = 0.05;  // m
  static constexpr double kMaxAttitude = 0.3;       // rad

  explicit TrotController(PhysicsModel& robot) : robot_(robot) {}

  void setTarget(const HighTarget& target);
  // Sets the motor targets for the next `dt` seconds (about kControlPeriod).
  void control(double dt);

  // What the robot does now: Idle while lying, Stand while it stands up and
  // stands, Walk while it trots (a walk ends when a pair of feet lands).
  HighMode modeInForce() const;

 private:
  enum class Phase { Lying, StandingUp, Balancing };

  // Where a leg's foot stands under its hip, body frame, for the trunk
  // `height` m above the ground.
  KALVENT_LEGGED_SDK::Vec3 nominalFoot(int leg, double height) const;
  double heightTarget() const;
  void standUp();
  void stepGait(double dt);
  void balance(double dt);

  PhysicsModel& robot_;
  const KALVENT_LEGGED_SDK::LegKinematics kinematics_;
  HighTarget target_;
  Phase phase_ = Phase::Lying;
  double phaseTime_ = 0;                                 // s in the current Phase
  std::array<KALVENT_LEGGED_SDK::Vec3, 4> standFrom_{};  // feet when the stand-up began, body frame
  bool walking_ = false;
  double gaitTime_ = 0;  // s into the gait cycle
  std::array<bool, 4> stance_{{true, true, true, true}};
  std::array<KALVENT_LEGGED_SDK::Vec3, 4> liftOff_{};  // world, where each swing began
  double yawReference_ = 0;                            // rad, heading the walk steers to
  double standYaw_ = 0;                                // rad, heading a stand began with
  std::array<double, 3> ramped_{};                     // speeds on their way to the command
  std::array<double, 2> speedIntegral_{};              // m, heading frame
  double heightIntegral_ = 0;                          // m·s
  KALVENT_LEGGED_SDK::Vec3 attitudeIntegral_{};        // rad·s, body frame
  std::array<double, 2> holdPosition_{};               // m, world: where a stand keeps the body
};

}  // namespace kalvent_sim
