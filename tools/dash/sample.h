// One state of the robot as the page shows it, from a recording's records
// (the bridge's messages are taken in as those records).
#pragma once

#include <array>
#include <cstdint>

namespace kalvent_log {
struct low_state;
struct high_state;
struct low_cmd;
}  // namespace kalvent_log

namespace kalvent_dash {

constexpr int kJoints = 12;
constexpr int kLegs = 4;

enum class Level { Low, High };

struct Sample {
  Level level = Level::Low;
  uint32_t tick = 0;
  // Low level: the motors' figures. High level: `q` is worked out from the
  // reported foot positions and the others are not known.
  bool motorsKnown = false;
  std::array<double, kJoints> q{};
  std::array<double, kJoints> dq{};
  std::array<double, kJoints> tauEst{};
  std::array<double, 4> quaternion{};  // w, x, y, z
  std::array<double, 3> rpy{};         // rad
  std::array<double, 3> gyro{};
  std::array<double, 3> accel{};
  std::array<double, kLegs> footForce{};
  // High level only.
  int mode = 0;
  std::array<double, 3> position{};  // forward, side, 0
  std::array<double, 3> velocity{};  // forward, side, up-down
  double yawSpeed = 0;
  double bodyHeight = 0;
};

// A low-level command's position targets; NaN where a joint has none
// (PosStopF).
using Targets = std::array<double, kJoints>;

Sample sampleOf(const kalvent_log::low_state& state);
Sample sampleOf(const kalvent_log::high_state& state);
Targets targetsOf(const kalvent_log::low_cmd& cmd);

}  // namespace kalvent_dash
