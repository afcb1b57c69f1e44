// The simulated controller without sockets: joint physics, command decoding,
// state packets and the protective behaviour, on simulated time.
#include <gtest/gtest.h>

#include <cmath>

#include "controller.h"
#include "joint_model.h"
#include "kalvent_legged_sdk/pelk_const.h"
#include "kalvent_legged_sdk/quadruped.h"
#include "kalvent_legged_sdk/tesmar_const.h"
#include "sim_packets.h"

namespace sdk = KALVENT_LEGGED_SDK;
using kalvent_sim::Controller;
using kalvent_sim::JointModel;
using kalvent_sim::kJoints;
using kalvent_sim::Level;
using kalvent_sim::MotorTarget;
using kalvent_sim::Verdict;
using kalvent_test::Bytes;
using kalvent_test::Motor;
using kalvent_test::motorOf;
using kalvent_test::walkOf;
using kalvent_test::WireMotor;

namespace {

const double kPi = 3.14159265358979323846;
const float kPosStop = static_cast<float>(sdk::PosStopF);
const float kVelStop = static_cast<float>(sdk::VelStopF);
const sdk::LeggedType kModels[] = {sdk::LeggedType::Tesmar, sdk::LeggedType::Pelk};

MotorTarget servo(float q, float kp, float dq, float kd, float tau = 0) {
  MotorTarget t;
  t.mode = 10;
  t.q = q;
  t.kp = kp;
  t.dq = dq;
  t.kd = kd;
  t.tau = tau;
  return t;
}

// Steps the model for `seconds`, failing the test if a joint leaves its
// range or its state stops being finite.
void simulate(JointModel& model, double seconds, double dt = Controller::kMaxStep) {
  const long steps = std::lround(seconds / dt);
  for (long i = 0; i < steps; ++i) {
    model.step(dt);
    for (int j = 0; j < kJoints; ++j) {
      ASSERT_TRUE(std::isfinite(model.q(j)) && std::isfinite(model.dq(j))) << "joint " << j;
      ASSERT_GE(model.q(j), model.range(j).min) << "joint " << j;
      ASSERT_LE(model.q(j), model.range(j).max) << "joint " << j;
    }
  }
}

TEST(JointModel, RangesFollowTheModelWithRightHipsMirrored) {
  using kalvent_sim::jointRange;
  const auto fr = jointRange(sdk::LeggedType::Tesmar, sdk::FR_0);
  const auto rr = jointRange(sdk::LeggedType::Tesmar, sdk::RR_0);
  const auto fl = jointRange(sdk::LeggedType::Tesmar, sdk::FL_0);
  const auto rl = jointRange(sdk::LeggedType::Tesmar, sdk::RL_0);
  EXPECT_DOUBLE_EQ(fr.min, -sdk::tesmar_Hip_max);
  EXPECT_DOUBLE_EQ(fr.max, -sdk::tesmar_Hip_min);
  EXPECT_DOUBLE_EQ(rr.max, -sdk::tesmar_Hip_min);
  EXPECT_DOUBLE_EQ(fl.min, sdk::tesmar_Hip_min);
  EXPECT_DOUBLE_EQ(fl.max, sdk::tesmar_Hip_max);
  EXPECT_DOUBLE_EQ(rl.max, sdk::tesmar_Hip_max);
  for (int leg = 0; leg < 4; ++leg) {
    const auto thigh = jointRange(sdk::LeggedType::Pelk, 3 * leg + 1);
    const auto calf = jointRange(sdk::LeggedType::Pelk, 3 * leg + 2);
    EXPECT_DOUBLE_EQ(thigh.min, sdk::pelk_Thigh_min);
    EXPECT_DOUBLE_EQ(thigh.max, sdk::pelk_Thigh_max);
    EXPECT_DOUBLE_EQ(calf.min, sdk::pelk_Calf_min);
    EXPECT_DOUBLE_EQ(calf.max, sdk::pelk_Calf_max);
  }
  // The robot starts lying, every joint strictly inside its range.
  const auto pose = kalvent_sim::lyingPose();
  for (const auto model : kModels) {
    const JointModel m(model);
    for (int j = 0; j < kJoints; ++j) {
      EXPECT_EQ(m.q(j), pose[j]);
      EXPECT_GT(m.q(j), m.range(j).min);
      EXPECT_LT(m.q(j), m.range(j).max);
    }
  }
}

TEST(JointModel, PdConvergesToTargetsWithinTheLimits) {
  struct Gains {
    float kp, kd;
  };
  const Gains gains[] = {{20, 0.5f}, {60, 2}, {200, 10}, {200, 0.5f}};
  const double steps[] = {Controller::kMaxStep, 0.001, 0.002};
  for (const auto model : kModels) {
    for (const Gains g : gains) {
      for (const double dt : steps) {
        SCOPED_TRACE(::testing::Message() << "Kp " << g.kp << " Kd " << g.kd << " dt " << dt);
        JointModel m(model);
        float target[kJoints];
        for (int j = 0; j < kJoints; ++j) {
          // A quarter of the way into the range: well away from the start.
          target[j] = static_cast<float>(m.range(j).min + 0.25 * (m.range(j).max - m.range(j).min));
          m.setTarget(j, servo(target[j], g.kp, 0, g.kd));
        }
        simulate(m, 4.0, dt);
        for (int j = 0; j < kJoints; ++j) {
          EXPECT_NEAR(m.q(j), target[j], 1e-3) << "joint " << j;
          EXPECT_NEAR(m.dq(j), 0, 1e-2) << "joint " << j;
          EXPECT_NEAR(m.torque(j), 0, 0.2) << "joint " << j;
        }
      }
    }
  }
}

TEST(JointModel, HardStopsHoldEveryJointAtItsModelLimit) {
  for (const auto model : kModels) {
    JointModel m(model);
    for (int j = 0; j < kJoints; ++j) m.setTarget(j, servo(kPosStop, 0, kVelStop, 0, 20));
    simulate(m, 1.0);
    for (int j = 0; j < kJoints; ++j) {
      EXPECT_EQ(m.q(j), m.range(j).max) << "joint " << j;
      EXPECT_EQ(m.dq(j), 0) << "joint " << j;
      EXPECT_DOUBLE_EQ(m.torque(j), 20) << "the motor still pushes, joint " << j;
    }
    // A stiff target far beyond the lower stop ends on it too.
    for (int j = 0; j < kJoints; ++j) m.setTarget(j, servo(-10, 200, 0, 10));
    simulate(m, 1.0);
    for (int j = 0; j < kJoints; ++j) {
      EXPECT_EQ(m.q(j), m.range(j).min) << "joint " << j;
      EXPECT_EQ(m.dq(j), 0) << "joint " << j;
    }
  }
}

TEST(JointModel, StopValuesSwitchTheirTermOff) {
  JointModel m(sdk::LeggedType::Tesmar);
  const double start = m.q(sdk::FR_1);

  // Position term off: a large Kp moves nothing.
  m.setTarget(sdk::FR_1, servo(kPosStop, 100, kVelStop, 5));
  simulate(m, 0.5);
  EXPECT_EQ(m.q(sdk::FR_1), start);
  EXPECT_EQ(m.torque(sdk::FR_1), 0);

  // One step of the float below the stop value is an ordinary (huge) target.
  m.setTarget(sdk::FR_1, servo(std::nextafter(kPosStop, 0.0f), 100, kVelStop, 5));
  simulate(m, 0.5);
  EXPECT_EQ(m.q(sdk::FR_1), m.range(sdk::FR_1).max);

  // Velocity term off: Kd does not brake a moving joint, only friction does.
  m.setState(sdk::FL_1, 1.0, 2.0);
  m.setTarget(sdk::FL_1, servo(kPosStop, 0, kVelStop, 5));
  m.setState(sdk::RL_1, 1.0, 2.0);
  m.setTarget(sdk::RL_1, servo(kPosStop, 0, 0, 5));
  simulate(m, 0.1);
  EXPECT_GT(m.dq(sdk::FL_1), 1.7);
  EXPECT_EQ(m.torque(sdk::FL_1), 0);
  EXPECT_LT(m.dq(sdk::RL_1), 0.01);

  // Velocity target with its term on: the joint runs at Kd·dq/(Kd + b).
  m.setTarget(sdk::RL_1, servo(kPosStop, 0, 1.0f, 5));
  simulate(m, 0.3);
  EXPECT_NEAR(m.dq(sdk::RL_1), 5.0 / 5.05, 1e-3);
}

TEST(JointModel, ModeZeroAppliesNoTorque) {
  JointModel m(sdk::LeggedType::Pelk);
  for (int j = 0; j < kJoints; ++j) {
    MotorTarget t = servo(0.3f, 100, 0, 5, 10);
    t.mode = 0;
    m.setTarget(j, t);
  }
  m.setState(sdk::FL_1, 1.0, 1.0);
  const double start = m.q(sdk::RR_2);
  simulate(m, 0.2);
  for (int j = 0; j < kJoints; ++j) EXPECT_EQ(m.torque(j), 0) << "joint " << j;
  EXPECT_EQ(m.q(sdk::RR_2), start);
  // Only friction slows the coasting joint: dq = exp(−b/J·t).
  EXPECT_NEAR(m.dq(sdk::FL_1), std::exp(-0.05 / 0.045 * 0.2), 0.01);
}

TEST(JointModel, DampingOverridesTheTargets) {
  JointModel m(sdk::LeggedType::Tesmar);
  for (int j = 0; j < kJoints; ++j) m.setTarget(j, servo(0.5f, 200, 0, 10, 5));
  m.setState(sdk::FR_1, 1.0, 2.0);
  m.setDamping(true);
  m.step(Controller::kMaxStep);
  EXPECT_LT(m.torque(sdk::FR_1), -5.0) << "brakes the motion";
  EXPECT_EQ(m.torque(sdk::FL_1), 0) << "no pull towards the target";
  simulate(m, 0.2);
  EXPECT_NEAR(m.dq(sdk::FR_1), 0, 1e-3);
  EXPECT_LT(m.q(sdk::FR_1), 1.1);
  EXPECT_EQ(m.q(sdk::FL_1), kalvent_sim::lyingPose()[sdk::FL_1]);
}

TEST(JointModel, FeetCarryTheRobotOnlyWhenTheLegsLiftIt) {
  EXPECT_EQ(kalvent_sim::standingFootForce(0, 1.12, -2.65), 0);
  EXPECT_NEAR(kalvent_sim::standingFootForce(0, 0.67, -1.3), kalvent_sim::kRobotWeight / 4, 1.0);
  const double half = kalvent_sim::standingFootForce(0, 0.9, -1.9);
  EXPECT_GT(half, 0);
  EXPECT_LT(half, kalvent_sim::kRobotWeight / 4);
}

// --- the controller: packets in, simulated periods, packets out ---

sdk::LowState_t lowState(const Controller& c) {
  Bytes packet(kalvent_sim::kMaxStateLength);
  packet.resize(c.writeState(packet.data()));
  EXPECT_EQ(packet.size(), static_cast<size_t>(sdk::LOW_STATE_LENGTH));
  EXPECT_TRUE(kalvent_test::checksumValid(packet));
  return kalvent_test::decoded<sdk::LowState_t>(packet);
}

sdk::HighState highState(const Controller& c) {
  Bytes packet(kalvent_sim::kMaxStateLength);
  packet.resize(c.writeState(packet.data()));
  EXPECT_EQ(packet.size(), static_cast<size_t>(sdk::HIGH_STATE_LENGTH));
  EXPECT_TRUE(kalvent_test::checksumValid(packet));
  return kalvent_test::decoded<sdk::HighState>(packet);
}

// Feeds `command` every 20 periods (40 ms at 500 Hz) for `periods` periods.
void drive(Controller& c, const Bytes& command, int periods) {
  for (int i = 0; i < periods; ++i) {
    if (i % 20 == 0) {
      ASSERT_NE(c.receive(command.data(), command.size()), Verdict::BadChecksum);
    }
    c.advance();
  }
}

TEST(Controller, DecodesTheWireScalingOfTorqueAndGains) {
  Controller c({sdk::LeggedType::Tesmar, 500});
  WireMotor held;  // q 1.0, Kp 20, Kd 4, tau 2: rests where Kp·(1.0 − q) = −2
  held.q = 1.0f;
  held.dq = 0.0f;
  held.Kp = 640;
  held.Kd = 64;
  held.tau = 512;
  WireMotor pushed;  // Kd 4 towards dq 0, tau 1: runs at 1 / (4 + b)
  pushed.dq = 0.0f;
  pushed.Kd = 64;
  pushed.tau = 256;
  WireMotor stopped;  // tau −2 against the lower stop
  stopped.tau = -512;
  drive(c, kalvent_test::lowCommand({{sdk::FR_1, held}, {sdk::FL_1, pushed}, {sdk::RR_0, stopped}}),
        1000);
  const sdk::LowState_t s = lowState(c);
  const Motor heldState = motorOf(s, sdk::FR_1);
  const Motor pushedState = motorOf(s, sdk::FL_1);
  const Motor stoppedState = motorOf(s, sdk::RR_0);
  const Motor idle = motorOf(s, sdk::FL_0);
  EXPECT_NEAR(heldState.q, 1.1, 2e-3);
  EXPECT_NEAR(pushedState.dq, 1.0 / 4.05, 2e-3);
  EXPECT_EQ(stoppedState.q, static_cast<float>(-sdk::tesmar_Hip_max));
  EXPECT_EQ(stoppedState.tauEst, -512);
  EXPECT_NEAR(pushedState.tauEst, 256 - 1024 * pushedState.dq, 1.0);
  EXPECT_EQ(heldState.mode, 10);
  EXPECT_EQ(idle.mode, 0);
  EXPECT_EQ(idle.tauEst, 0);
}

TEST(Controller, TorqueReportSaturatesAtTheWireRange) {
  Controller c({sdk::LeggedType::Tesmar, 500});
  WireMotor hard;  // 1000 · (2·10⁹ − q) N·m: far beyond what 16 bits carry
  hard.q = 2.0e9f;
  hard.Kp = 32000;
  WireMotor back = hard;
  back.q = -2.0e9f;
  drive(c, kalvent_test::lowCommand({{sdk::FR_1, hard}, {sdk::FL_1, back}}), 10);
  const sdk::LowState_t s = lowState(c);
  EXPECT_EQ(motorOf(s, sdk::FR_1).tauEst, 32767);
  EXPECT_EQ(motorOf(s, sdk::FL_1).tauEst, -32768);
}

TEST(Controller, StatePacketsAreChecksummedWithARisingTick) {
  Bytes packet(kalvent_sim::kMaxStateLength);
  Controller c({sdk::LeggedType::Pelk, 1000});
  c.advance();
  EXPECT_EQ(c.writeState(packet.data()), 0u) << "no level before a command";
  const Bytes cmd = kalvent_test::lowCommand({});
  EXPECT_EQ(c.receive(cmd.data(), cmd.size()), Verdict::LowCommand);
  uint32_t lastTick = 0;
  for (int i = 0; i < 5; ++i) {
    c.advance();
    const uint32_t tick = kalvent_test::tickOf(lowState(c));
    EXPECT_EQ(tick, static_cast<uint32_t>(i + 2)) << "milliseconds at 1 kHz";
    EXPECT_GT(tick, lastTick);
    lastTick = tick;
  }
  const sdk::LowState_t s = lowState(c);
  EXPECT_EQ(static_cast<int>(s.levelFlag), sdk::LOWLEVEL);
  const kalvent_test::Imu imu = kalvent_test::imuOf(s.imu);
  EXPECT_EQ(imu.quaternion, (std::array<float, 4>{1, 0, 0, 0}));
  EXPECT_EQ(imu.rpy, (std::array<float, 3>{0, 0, 0}));
  EXPECT_NEAR(imu.accelerometer[2], 9.81, 1e-5);
  for (int j = 0; j < kJoints; ++j) {
    EXPECT_NEAR(motorOf(s, j).q, kalvent_sim::lyingPose()[j], 1e-6) << "joint " << j;
  }
  EXPECT_EQ(kalvent_test::footForceOf(s), (std::array<int16_t, 4>{0, 0, 0, 0})) << "lying";

  Controller slow({sdk::LeggedType::Tesmar, 500});
  const Bytes high = kalvent_test::highCommand(1, 0, 0, 0, 0);
  EXPECT_EQ(slow.receive(high.data(), high.size()), Verdict::HighCommand);
  slow.advance();
  slow.advance();
  const sdk::HighState h = highState(slow);
  EXPECT_EQ(kalvent_test::tickOf(h), 4u);
  EXPECT_EQ(kalvent_test::walkOf(h).levelFlag, sdk::HIGHLEVEL);
}

TEST(Controller, IgnoresBadChecksumsAndOtherLengths) {
  Controller c({sdk::LeggedType::Tesmar, 500});
  WireMotor push;
  push.tau = 1280;  // 5 N·m
  Bytes good = kalvent_test::lowCommand({{sdk::FR_1, push}});
  Bytes corrupt = good;
  corrupt[20] ^= 0x01;
  EXPECT_EQ(c.receive(corrupt.data(), corrupt.size()), Verdict::BadChecksum);
  Bytes high = kalvent_test::highCommand(2, 1, 0, 0, 0);
  high[142] ^= 0x80;  // the stored checksum itself
  EXPECT_EQ(c.receive(high.data(), high.size()), Verdict::BadChecksum);
  EXPECT_EQ(c.level(), Level::None);

  for (const size_t length : {0, 4, 142, 144, 256, 609, 611, 771}) {
    Bytes other(length, 0x5a);
    if (length >= 4) other = kalvent_test::withChecksum(other);
    EXPECT_EQ(c.receive(other.data(), other.size()), Verdict::WrongLength) << length;
  }
  EXPECT_EQ(c.commands(), 0u);
  EXPECT_EQ(c.badChecksums(), 2u);
  EXPECT_EQ(c.wrongLengths(), 8u);

  // The last bytes of `reserve` are outside the checksum: still a good command.
  good[604] ^= 0xff;
  EXPECT_EQ(c.receive(good.data(), good.size()), Verdict::LowCommand);
  c.advance();
  EXPECT_EQ(motorOf(lowState(c), sdk::FR_1).tauEst, 1280);

  // A corrupt command with another torque changes nothing.
  WireMotor pull;
  pull.tau = -1280;
  Bytes bad = kalvent_test::lowCommand({{sdk::FR_1, pull}});
  bad[300] ^= 0x10;
  EXPECT_EQ(c.receive(bad.data(), bad.size()), Verdict::BadChecksum);
  c.advance();
  EXPECT_EQ(motorOf(lowState(c), sdk::FR_1).tauEst, 1280);
  EXPECT_EQ(c.commands(), 1u);
  EXPECT_EQ(c.badChecksums(), 3u);
}

TEST(Controller, DampsTheJointsWhenCommandsStop) {
  Controller c({sdk::LeggedType::Tesmar, 500});
  WireMotor run;  // dq 1 rad/s with Kd 2
  run.dq = 1.0f;
  run.Kd = 32;
  const Bytes cmd = kalvent_test::lowCommand({{sdk::FR_1, run}});
  ASSERT_EQ(c.receive(cmd.data(), cmd.size()), Verdict::LowCommand);
  for (int i = 0; i < 45; ++i) c.advance();  // 90 ms
  EXPECT_FALSE(c.commandLost());
  EXPECT_GT(motorOf(lowState(c), sdk::FR_1).dq, 0.9f);

  for (int i = 0; i < 10; ++i) c.advance();  // 110 ms
  EXPECT_TRUE(c.commandLost());
  EXPECT_LT(motorOf(lowState(c), sdk::FR_1).tauEst, 0) << "braking";
  for (int i = 0; i < 40; ++i) c.advance();  // 190 ms
  EXPECT_NEAR(motorOf(lowState(c), sdk::FR_1).dq, 0, 0.01);

  // A new command takes the joint back.
  ASSERT_EQ(c.receive(cmd.data(), cmd.size()), Verdict::LowCommand);
  for (int i = 0; i < 40; ++i) c.advance();
  EXPECT_GT(motorOf(lowState(c), sdk::FR_1).dq, 0.9f);
}

TEST(Controller, HighLevelIntegratesSpeedsIntoPositionAndYaw) {
  Controller c({sdk::LeggedType::Tesmar, 500});
  drive(c, kalvent_test::highCommand(2, 0.5f, 0, 0, 0.05f), 500);  // 1 s forward
  kalvent_test::Walk s = walkOf(highState(c));
  EXPECT_NEAR(s.forwardPosition, 0.5, 1e-4);
  EXPECT_NEAR(s.sidePosition, 0, 1e-6);
  EXPECT_EQ(s.mode, 2);
  EXPECT_EQ(s.bodyHeight, 0.05f);
  EXPECT_EQ(s.forwardSpeed, 0.5f);

  // A quarter turn to the left while walking: a quarter circle of radius v/ω.
  const float turn = static_cast<float>(kPi / 2);
  drive(c, kalvent_test::highCommand(2, 0.4f, 0, turn, 0), 500);
  s = walkOf(highState(c));
  const double r = 0.4 / turn;
  EXPECT_NEAR(s.forwardPosition, 0.5 + r, 1e-3);
  EXPECT_NEAR(s.sidePosition, r, 1e-3);
  const kalvent_test::Imu imu = kalvent_test::imuOf(highState(c).imu);
  EXPECT_NEAR(imu.rpy[2], kPi / 2, 1e-4);
  EXPECT_NEAR(imu.gyroscope[2], kPi / 2, 1e-6);
  EXPECT_NEAR(imu.quaternion[0], std::cos(kPi / 4), 1e-4);
  EXPECT_NEAR(imu.quaternion[3], std::sin(kPi / 4), 1e-4);
  EXPECT_EQ(kalvent_test::footForceOf(highState(c))[sdk::RL_],
            std::lround(kalvent_sim::kRobotWeight / 4));

  // Facing left, a sideways step to the right moves along +x.
  drive(c, kalvent_test::highCommand(1, 0, -0.2f, 0, 0), 250);
  s = walkOf(highState(c));
  EXPECT_NEAR(s.forwardPosition, 0.5 + r + 0.1, 1e-3);
  EXPECT_NEAR(s.sidePosition, r, 1e-3);
  EXPECT_EQ(s.mode, 1);

  // Yaw stays within (−π, π].
  drive(c, kalvent_test::highCommand(2, 0, 0, 2.0f, 0), 1000);
  EXPECT_NEAR(kalvent_test::imuOf(highState(c).imu).rpy[2], std::remainder(kPi / 2 + 4.0, 2 * kPi),
              1e-3);

  // Without commands the body stops where it is.
  const float x = walkOf(highState(c)).forwardPosition;
  for (int i = 0; i < 200; ++i) c.advance();
  s = walkOf(highState(c));
  EXPECT_EQ(s.rotateSpeed, 0.0f);
  EXPECT_NEAR(s.forwardPosition, x, 1e-6);
}

}  // namespace
