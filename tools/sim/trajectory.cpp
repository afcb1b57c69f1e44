#include "trajectory.h"

#include <cmath>

namespace kalvent_sim {

namespace {

const char* const kLegNames[kLegs] = {"FR", "FL", "RR", "RL"};
const char* const kFrameNames[kFramesPerLeg] = {"hip", "thigh", "knee", "foot"};

void writeValue(std::FILE* f, double v) {
  if (std::isnan(v)) {
    std::fputs(",nan", f);
  } else {
    std::fprintf(f, ",%.5f", v);
  }
}

}  // namespace

void writeTrajectoryHeader(std::FILE* f) {
  std::fputs("time", f);
  for (int j = 0; j < kJoints; ++j) std::fprintf(f, ",%s_%d", kLegNames[j / 3], j % 3);
  std::fputs(",trunk_x,trunk_y,trunk_height,roll,pitch,yaw,commanded_height", f);
  for (int j = 0; j < kJoints; ++j) std::fprintf(f, ",%s_%d_cmd", kLegNames[j / 3], j % 3);
  for (int j = 0; j < kJoints; ++j) std::fprintf(f, ",%s_%d_tau", kLegNames[j / 3], j % 3);
  for (const char* leg : kLegNames) std::fprintf(f, ",%s_force", leg);
  std::fputs(",forward_cmd,side_cmd,rotate_cmd", f);
  for (const char* leg : kLegNames) {
    for (const char* frame : kFrameNames) {
      for (const char axis : {'x', 'y', 'z'}) std::fprintf(f, ",%s_%s_%c", leg, frame, axis);
    }
  }
  std::fputc('\n', f);
}

void writeTrajectoryRow(std::FILE* f, double time, const Controller& controller) {
  const LowLevelModel& robot = controller.joints();
  std::fprintf(f, "%.3f", time);
  for (int j = 0; j < kJoints; ++j) writeValue(f, robot.q(j));
  for (const double v : controller.trunkPlace()) writeValue(f, v);
  writeValue(f, robot.trunkHeight());
  for (const double angle : robot.imu().rpy) writeValue(f, angle);
  writeValue(f, robot.commandedHeight());
  for (int j = 0; j < kJoints; ++j) {
    const MotorLaw law = motorLaw(robot.target(j), false);
    writeValue(f, law.kp > 0 ? law.qDes : NAN);
  }
  for (int j = 0; j < kJoints; ++j) writeValue(f, robot.torque(j));
  for (int leg = 0; leg < kLegs; ++leg) writeValue(f, robot.footForce(leg));
  for (const double v : controller.commandedSpeeds()) writeValue(f, v);
  LinkFrames frames;
  const bool known = robot.linkFrames(&frames);
  for (const Point& p : frames) {
    for (const double v : {p.x, p.y, p.z}) writeValue(f, known ? v : NAN);
  }
  std::fputc('\n', f);
}

}  // namespace kalvent_sim
