// The simulator's trotting high level on the physics robot, driven packet
// by packet on simulated time: it stands up, walks, stands still when the
// commands stop, holds a commanded pose, and its state is the physics'.
// Bounds are generous; walk_report gives the precise figures.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "controller.h"
#include "kalvent_legged_sdk/comm.h"
#include "physics_model.h"
#include "wire.h"

namespace {

namespace sdk = KALVENT_LEGGED_SDK;
using kalvent_sim::Controller;
using kalvent_sim::TrotController;

const int kRateHz = 500;
const double kTiltLimit = 0.35;  // rad

struct Command {
  uint8_t mode;
  float forward = 0, height = 0, pitch = 0;
};

// Sends `command` every period for `seconds`; returns the worst |roll| or
// |pitch| seen.
double drive(Controller& c, const Command& k, double seconds) {
  sdk::HighCmd cmd{};
  cmd.levelFlag = sdk::HIGHLEVEL;
  cmd.mode = k.mode;
  cmd.forwardSpeed = k.forward;
  cmd.bodyHeight = k.height;
  cmd.pitch = k.pitch;
  unsigned char packet[sizeof cmd];
  std::memcpy(packet, &cmd, sizeof cmd);
  sdk::stampChecksum(packet, sizeof packet);
  double tilt = 0;
  for (int i = 0; i < static_cast<int>(seconds * kRateHz); ++i) {
    c.receive(packet, sizeof packet);
    c.advance();
    const auto rpy = c.joints().imu().rpy;
    tilt = std::fmax(tilt, std::fmax(std::fabs(rpy[0]), std::fabs(rpy[1])));
  }
  return tilt;
}

sdk::HighState stateOf(const Controller& c) {
  unsigned char packet[kalvent_sim::kMaxStateLength];
  EXPECT_EQ(c.writeState(packet), sizeof(sdk::HighState));
  sdk::HighState s;
  std::memcpy(&s, packet, sizeof s);
  return s;
}

double footLoad(const sdk::HighState& s) {
  double sum = 0;
  for (int leg = 0; leg < 4; ++leg) sum += s.footForce[leg];
  return sum;
}

TEST(TrotHighLevel, StandsUpWalksAndStandsWhenTheCommandsStop) {
  Controller c({sdk::LeggedType::Tesmar, kalvent_sim::ModelKind::Physics, kRateHz});
  drive(c, {2}, 2.0);  // stands up, trots in place
  sdk::HighState s = stateOf(c);
  EXPECT_NEAR(s.bodyHeight, 0, 0.04) << "an offset from the default height";
  EXPECT_NEAR(s.forwardPosition, 0, 0.1);
  const float startYaw = s.imu.rpy[2];

  EXPECT_LT(drive(c, {2, 0.5f}, 4.0), kTiltLimit);
  s = stateOf(c);
  EXPECT_GT(s.forwardPosition, 1.4) << "4 s at 0.5 m/s";
  EXPECT_NEAR(s.sidePosition, 0, 0.3);
  EXPECT_NEAR(s.forwardSpeed, 0.5, 0.2);
  EXPECT_NEAR(s.imu.rpy[2], startYaw, 0.2);
  EXPECT_NEAR(s.bodyHeight, 0, 0.04);
  // Each foot under its own hip, below the trunk: legs in motor order.
  for (int leg = 0; leg < 4; ++leg) {
    EXPECT_NEAR(s.footPosition2Body[leg].x, leg < 2 ? 0.18 : -0.18, 0.15) << leg;
    EXPECT_NEAR(s.footPosition2Body[leg].y, leg % 2 ? 0.13 : -0.13, 0.06) << leg;
    EXPECT_LT(s.footPosition2Body[leg].z, -0.15) << leg;
  }
  // Stance feet sweep backwards under the walking body.
  const int stance = s.footForce[sdk::FR_] > s.footForce[sdk::FL_] ? sdk::FR_ : sdk::FL_;
  EXPECT_LT(s.footSpeed2Body[stance].x, -0.2) << stance;

  // The commands stop: the walk ends, the robot stands on its feet.
  for (int i = 0; i < kRateHz; ++i) c.advance();
  s = stateOf(c);
  EXPECT_NEAR(s.forwardSpeed, 0, 0.1);
  EXPECT_NEAR(footLoad(s), 10.8 * 9.81, 0.25 * 10.8 * 9.81);
  EXPECT_LT(std::fabs(s.imu.rpy[1]), kTiltLimit);
}

TEST(TrotHighLevel, IdleLeavesItLyingAndStandHoldsTheCommandedPose) {
  Controller c({sdk::LeggedType::Tesmar, kalvent_sim::ModelKind::Physics, kRateHz});
  drive(c, {0}, 1.0);
  EXPECT_LT(c.joints().trunkHeight(), 0.1) << "mode 0 does not stand it up";

  drive(c, {1, 0, -0.03f, 0.1f}, 3.0);
  const sdk::HighState s = stateOf(c);
  EXPECT_NEAR(s.bodyHeight, -0.03, 0.015);
  EXPECT_NEAR(s.imu.rpy[1], 0.1, 0.04);
  EXPECT_NEAR(s.forwardPosition, 0, 0.05);
  EXPECT_NEAR(footLoad(s), 10.8 * 9.81, 0.1 * 10.8 * 9.81);
}

}  // namespace
