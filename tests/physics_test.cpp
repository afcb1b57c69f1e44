// The rigid-body robot: a passive drop, folding without gains and the feet
// carrying the weight under the stand example's gains. Each case drives the
// model directly on simulated time, a state period at a time.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>

#include "example_util.h"
#include "kalvent_legged_sdk.h"
#include "physics_model.h"

namespace {

namespace sdk = KALVENT_LEGGED_SDK;
using kalvent_sim::kJoints;
using kalvent_sim::kLegs;
using kalvent_sim::MotorTarget;
using kalvent_sim::PhysicsModel;

const double kPeriod = 0.002;  // the demo's state period, s
const double kGravity = 9.81;

std::array<double, kJoints> standPose() {
  std::array<double, kJoints> q;
  for (int j = 0; j < kJoints; ++j) q[j] = example::kStandPose[j % 3];
  return q;
}

void command(PhysicsModel& m, float kp, float kd) {
  for (int j = 0; j < kJoints; ++j) {
    m.setTarget(j, {10, static_cast<float>(example::kStandPose[j % 3]), 0, 0, kp, kd});
  }
}

double footForceSum(const PhysicsModel& m) {
  double sum = 0;
  for (int leg = 0; leg < kLegs; ++leg) sum += m.footForce(leg);
  return sum;
}

// The robot standing on its feet, still.
class Standing : public ::testing::Test {
 protected:
  Standing() : m(sdk::LeggedType::Tesmar) {
    command(m, example::StandMotion::kKp, example::StandMotion::kKd);
    m.place(m.commandedHeight(), standPose());
  }
  PhysicsModel m;
};

TEST(PhysicsModel, PassiveDropComesToRestOnTheBellyAndNeverGainsEnergy) {
  PhysicsModel m(sdk::LeggedType::Tesmar);
  std::array<double, kJoints> folded;
  for (int j = 0; j < kJoints; ++j) folded[j] = m.q(j);
  // Half the trunk's height: resting on the ground.
  const double belly = kalvent_sim::quadrupedDescription().trunk.box.z / 2;
  m.place(belly + 0.3, folded);
  for (int j = 0; j < kJoints; ++j) m.setTarget(j, MotorTarget{});  // mode 0: no torque

  double energy = m.energy();
  const double start = energy;
  double highest = 0;
  for (int i = 0; i < 1500; ++i) {
    m.advance(kPeriod);
    const double now = m.energy();
    highest = std::max(highest, now - energy);
    energy = now;
  }
  // Contacts and stops only take energy away; the solver's rounding may add
  // a trace at a step.
  EXPECT_LT(highest, 0.01) << "energy rose within one period by " << highest << " J";
  EXPECT_LT(energy, start - 0.3 * m.mass() * kGravity * 0.9);
  EXPECT_NEAR(m.trunkHeight(), belly, 0.005);
  const double before = m.trunkHeight();
  m.advance(0.2);
  EXPECT_NEAR(m.trunkHeight(), before, 1e-4) << "still moving";
}

TEST_F(Standing, FeetCarryTheWeightUnderTheStandGains) {
  for (int i = 0; i < 1000; ++i) m.advance(kPeriod);
  double sum = 0;
  const int samples = 250;
  for (int i = 0; i < samples; ++i) {
    m.advance(kPeriod);
    sum += footForceSum(m);
  }
  const double weight = m.mass() * kGravity;
  EXPECT_NEAR(sum / samples, weight, 0.05 * weight);
  const auto imu = m.imu();
  EXPECT_NEAR(imu.accelerometer[2], kGravity, 0.2);
  EXPECT_NEAR(imu.quaternion[0], 1.0, 1e-3);
  EXPECT_NEAR(m.trunkHeight(), m.commandedHeight(), 0.02);
}

TEST_F(Standing, LegsFoldUnderGravityWithZeroGainsAndTorque) {
  command(m, 0, 0);
  for (int i = 0; i < 1000; ++i) m.advance(kPeriod);
  EXPECT_LT(m.trunkHeight(), 0.1);
  for (int leg = 0; leg < kLegs; ++leg) {
    EXPECT_LT(m.q(3 * leg + 2), example::kStandPose[2] - 0.5) << "calf of leg " << leg;
  }
}

// A position target that is not a number, passed through the guard as a
// control step would, must not send its joint to an end stop: the hips of a
// standing robot, unloaded sideways, stay where they are.
TEST_F(Standing, NonFinitePositionTargetsAfterTheGuardDriveNoJointToItsStop) {
  sdk::LowCmd cmd{};
  for (int j = 0; j < kJoints; ++j) {
    sdk::MotorCmd& motor = cmd.motorCmd[j];
    motor.mode = 10;
    motor.q = static_cast<float>(example::kStandPose[j % 3]);
    motor.Kp = example::StandMotion::kKp;
    motor.Kd = example::StandMotion::kKd;
  }
  cmd.motorCmd[sdk::FL_0].q = NAN;
  cmd.motorCmd[sdk::RR_0].q = INFINITY;
  cmd.motorCmd[sdk::RL_0].q = -INFINITY;
  sdk::Safety(sdk::LeggedType::Tesmar).PositionLimit(cmd);
  for (int j = 0; j < kJoints; ++j) {
    const sdk::MotorCmd& motor = cmd.motorCmd[j];
    m.setTarget(j, {motor.mode, motor.q, motor.dq, motor.tau, motor.Kp, motor.Kd});
  }
  for (int i = 0; i < 250; ++i) m.advance(kPeriod);
  for (const int hip : {sdk::FL_0, sdk::RR_0, sdk::RL_0}) {
    EXPECT_NEAR(m.q(hip), 0.0, 0.1) << "hip of slot " << hip;
  }
}

}  // namespace
