// What the controller needs of a simulated low-level robot, whichever way it
// is simulated: motor commands in, joint, foot and IMU readings out.
#pragma once

#include <array>
#include <cstdint>

namespace kalvent_sim {

// Leg joints simulated; motor slots 12 to 19 drive nothing.
constexpr int kJoints = 12;
constexpr int kLegs = 4;

// What one motor is told, in SI units: the wire's integer scaling undone.
struct MotorTarget {
  uint8_t mode = 0;  // 0: the motor applies no torque
  float q = 0;       // target position, rad; PosStopF switches the position term off
  float dq = 0;      // target velocity, rad/s; VelStopF switches the velocity term off
  float tau = 0;     // feed-forward torque, N·m
  float kp = 0;      // position gain, N·m/rad
  float kd = 0;      // velocity gain, N·m·s/rad
};

// The trunk's inertial measurement unit.
struct ImuReading {
  std::array<double, 4> quaternion{1, 0, 0, 0};  // trunk to world: w, x, y, z
  std::array<double, 3> gyroscope{};             // rad/s, trunk frame
  std::array<double, 3> accelerometer{};         // m/s², trunk frame, gravity included
  std::array<double, 3> rpy{};                   // roll, pitch, yaw, rad
};

struct Point {
  double x, y, z;  // m, world frame: z up from the ground
};

// Per leg, where its links are: the hip joint, the thigh joint, the knee and
// the centre of the foot.
constexpr int kFramesPerLeg = 4;
using LinkFrames = std::array<Point, kLegs * kFramesPerLeg>;

class LowLevelModel {
 public:
  virtual ~LowLevelModel() = default;

  // Replaces the command of one joint; it holds until the next call.
  virtual void setTarget(int joint, const MotorTarget& target) = 0;
  virtual const MotorTarget& target(int joint) const = 0;

  // While on, the motors ignore their targets and only damp the joints, as
  // the controller does when the command stream stops.
  virtual void setDamping(bool on) = 0;

  // Advances the robot by `seconds`, in steps of the model's own size.
  virtual void advance(double seconds) = 0;

  virtual double q(int joint) const = 0;    // rad
  virtual double dq(int joint) const = 0;   // rad/s
  virtual double ddq(int joint) const = 0;  // rad/s²
  // Motor torque applied over the last step, N·m.
  virtual double torque(int joint) const = 0;
  // Contact force on a foot (leg 0-3, motor order), N.
  virtual double footForce(int leg) const = 0;
  virtual ImuReading imu() const = 0;

  // Height of the trunk's centre above the ground, m.
  virtual double trunkHeight() const = 0;
  // Trunk height the commanded joint angles would give with the trunk level
  // and all four feet on the ground, m.
  virtual double commandedHeight() const = 0;
  // The robot's weight, N.
  virtual double weight() const = 0;
  // Where the links are now; false when the model does not know.
  virtual bool linkFrames(LinkFrames* frames) const = 0;
};

}  // namespace kalvent_sim
