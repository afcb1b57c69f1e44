// The simulated controller: its joint physics, command decoding and state
// packets on simulated time, then the program on a loopback socket, its
// command line and signals. Packed record fields enter assertions as values
// (unary +, EXPECT_NEAR), never bound to references: they may be unaligned.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "controller.h"
#include "event_log.h"
#include "joint_model.h"
#include "kalvent_legged_sdk/pelk_const.h"
#include "kalvent_legged_sdk/tesmar_const.h"
#include "record_codec.h"
#include "runner.h"
#include "test_support.h"
#include "udp_peer.h"
#include "wire.h"

namespace sdk = KALVENT_LEGGED_SDK;
using kalvent_sim::Controller;
using kalvent_sim::JointModel;
using kalvent_sim::kJoints;
using kalvent_sim::Verdict;
using kalvent_test::Bytes;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

const double kPi = 3.14159265358979323846;
const float kPosStop = static_cast<float>(sdk::PosStopF);
const float kVelStop = static_cast<float>(sdk::VelStopF);
const sdk::LeggedType kModels[] = {sdk::LeggedType::Tesmar, sdk::LeggedType::Pelk};
const auto npos = std::string::npos;

// The state record in `packet`, failing the test unless the packet has the
// record's length and the checksum of the bit-serial reference.
template <typename Record>
Record decoded(const Bytes& packet) {
  EXPECT_EQ(packet.size(), sizeof(Record));
  EXPECT_TRUE(packet.size() >= 4 && kalvent_test::get<uint32_t>(packet, packet.size() - 4) ==
                                        kalvent_test::checksumOf(packet));
  Record record{};
  std::memcpy(&record, packet.data(), std::min(packet.size(), sizeof record));
  return record;
}

template <typename Record>
Bytes stamped(const Record& record) {
  Bytes packet = kalvent_test::bytesOf(record);
  kalvent_test::stamp(packet);
  return packet;
}

// One motor slot of a low-level command in wire units: tau in 1/256 N·m, Kp
// in 1/32, Kd in 1/16. Both terms start switched off.
struct WireMotor {
  int slot;
  float q = kPosStop;
  float dq = kVelStop;
  int16_t tau = 0;
  int16_t Kp = 0;
  int16_t Kd = 0;
};

// A low-level command driving `motors` in mode 10; the other slots are zero.
Bytes lowCommand(std::initializer_list<WireMotor> motors) {
  sdk::LowCmd_t cmd{};
  cmd.levelFlag = sdk::LOWLEVEL;
  for (const WireMotor& m : motors) cmd.motorCmd[m.slot] = {10, m.q, m.dq, m.tau, m.Kp, m.Kd, {}};
  return stamped(cmd);
}

Bytes highCommand(uint8_t mode, float forward, float side, float rotate, float height) {
  sdk::HighCmd cmd{};
  cmd.levelFlag = sdk::HIGHLEVEL;
  cmd.mode = mode;
  cmd.forwardSpeed = forward;
  cmd.sideSpeed = side;
  cmd.rotateSpeed = rotate;
  cmd.bodyHeight = height;
  return stamped(cmd);
}

// --- the joints ---

kalvent_sim::MotorTarget servo(float q, float kp, float dq, float kd, float tau = 0,
                               uint8_t mode = 10) {
  return {mode, q, dq, tau, kp, kd};
}

// Steps the model for `seconds`, failing if a joint leaves its range or its
// state stops being finite.
void simulate(JointModel& m, double seconds, double dt = Controller::kMaxStep) {
  for (long i = std::lround(seconds / dt); i > 0; --i) {
    m.step(dt);
    for (int j = 0; j < kJoints; ++j) {
      ASSERT_TRUE(std::isfinite(m.dq(j)) && m.q(j) >= m.range(j).min && m.q(j) <= m.range(j).max)
          << "joint " << j;
    }
  }
}

TEST(JointModel, MotorLawConvergesAndHardStopsHoldAtTheModelLimits) {
  const float gains[][2] = {{20, 0.5f}, {60, 2}, {200, 10}, {200, 0.5f}};
  // Hip, thigh and calf travel, min and max, per model.
  const double limits[2][6] = {{sdk::tesmar_Hip_min, sdk::tesmar_Hip_max, sdk::tesmar_Thigh_min,
                                sdk::tesmar_Thigh_max, sdk::tesmar_Calf_min, sdk::tesmar_Calf_max},
                               {sdk::pelk_Hip_min, sdk::pelk_Hip_max, sdk::pelk_Thigh_min,
                                sdk::pelk_Thigh_max, sdk::pelk_Calf_min, sdk::pelk_Calf_max}};
  for (int k = 0; k < 2; ++k) {
    for (const auto& g : gains) {
      for (const double dt : {Controller::kMaxStep, 0.001, 0.002}) {
        SCOPED_TRACE(::testing::Message() << "Kp " << g[0] << " Kd " << g[1] << " dt " << dt);
        JointModel m(kModels[k]);
        float target[kJoints];
        for (int j = 0; j < kJoints; ++j) {
          target[j] = static_cast<float>(m.range(j).min + 0.25 * (m.range(j).max - m.range(j).min));
          m.setTarget(j, servo(target[j], g[0], 0, g[1]));
        }
        simulate(m, 4.0, dt);
        for (int j = 0; j < kJoints; ++j) {
          EXPECT_NEAR(m.q(j), target[j], 1e-3) << "joint " << j;
          EXPECT_NEAR(m.dq(j), 0, 1e-2) << "joint " << j;
          EXPECT_NEAR(m.torque(j), 0, 0.2) << "joint " << j;
        }
      }
    }
    // Pure torque pushes the even joints onto their upper stops, where they
    // rest while the motor still pushes; a stiff target far below puts the odd
    // ones on their lower stops. Right hips travel the mirror image of the left.
    JointModel m(kModels[k]);
    for (int j = 0; j < kJoints; ++j) {
      m.setTarget(j, j % 2 == 0 ? servo(kPosStop, 0, kVelStop, 0, 20) : servo(-10, 200, 0, 10));
    }
    simulate(m, 1.0);
    for (int j = 0; j < kJoints; ++j) {
      const double* l = &limits[k][2 * (j % 3)];
      const bool mirrored = j % 3 == 0 && (j / 3 == sdk::FR_ || j / 3 == sdk::RR_);
      const bool upper = j % 2 == 0;
      EXPECT_EQ(m.q(j), mirrored ? -l[upper ? 0 : 1] : l[upper ? 1 : 0]) << "joint " << j;
      EXPECT_EQ(m.dq(j), 0) << "joint " << j;
      EXPECT_TRUE(!upper || m.torque(j) == 20) << "the motor still pushes, joint " << j;
    }
  }
}

TEST(JointModel, StopValuesAndModeZeroSwitchTermsOff) {
  JointModel m(sdk::LeggedType::Tesmar);
  const double start = m.q(sdk::FR_1);
  m.setTarget(sdk::FR_1, servo(kPosStop, 100, kVelStop, 5));  // Kp moves nothing
  m.setTarget(sdk::FR_2, servo(std::nextafter(kPosStop, 0.0f), 100, kVelStop, 5));  // a target
  m.setState(sdk::FL_1, 1.0, 2.0);
  m.setTarget(sdk::FL_1, servo(kPosStop, 0, kVelStop, 5));  // Kd brakes nothing
  m.setState(sdk::RL_1, 1.0, 2.0);
  m.setTarget(sdk::RL_1, servo(kPosStop, 0, 0, 5));  // Kd brakes
  m.setState(sdk::RR_1, 1.0, 1.0);
  m.setTarget(sdk::RR_1, servo(0.3f, 100, 0, 5, 10, 0));  // mode 0: coasts
  m.setTarget(sdk::RR_2, servo(0.3f, 100, 0, 5, 10, 0));
  simulate(m, 0.2);
  EXPECT_EQ(m.q(sdk::FR_1), start);
  EXPECT_EQ(m.q(sdk::FR_2), m.range(sdk::FR_2).max);
  EXPECT_GT(m.dq(sdk::FL_1), 1.5);
  EXPECT_LT(m.dq(sdk::RL_1), 0.01);
  EXPECT_NEAR(m.dq(sdk::RR_1), std::exp(-0.05 / 0.045 * 0.2), 0.01) << "friction alone";
  EXPECT_EQ(m.q(sdk::RR_2), kalvent_sim::lyingPose()[sdk::RR_2]);
  for (const int j : {sdk::FR_1, sdk::FL_1, sdk::RR_1, sdk::RR_2}) {
    EXPECT_EQ(m.torque(j), 0) << "joint " << j;
  }
}

// --- the controller: packets in, simulated periods, packets out ---

template <typename Record>
Record stateOf(const Controller& c) {
  Bytes packet(kalvent_sim::kMaxStateLength);
  packet.resize(c.writeState(packet.data()));
  return decoded<Record>(packet);
}

// Feeds `command` every 20 periods for `periods` periods.
void drive(Controller& c, const Bytes& command, int periods) {
  for (int i = 0; i < periods; ++i) {
    if (i % 20 == 0) {
      ASSERT_NE(c.receive(command.data(), command.size()), Verdict::BadChecksum);
    }
    c.advance();
  }
}

TEST(Controller, DecodesTheWireScalingAndSaturatesTheTorqueReport) {
  Controller c({sdk::LeggedType::Tesmar, kalvent_sim::ModelKind::Ideal, 500});
  // FR_1: Kp 20 to q 1.0 against tau 2, rests at 1.1. FL_1: Kd 4 to dq 0
  // against tau 1, runs at 1 / (4 + b). RR_0: tau −2 onto its lower stop.
  drive(c,
        lowCommand({{sdk::FR_1, 1.0f, 0.0f, 512, 640, 64},
                    {sdk::FL_1, kPosStop, 0.0f, 256, 0, 64},
                    {sdk::RR_0, kPosStop, kVelStop, -512}}),
        1000);
  const auto s = stateOf<sdk::LowState_t>(c);
  const float pushed = s.motorState[sdk::FL_1].dq;
  EXPECT_NEAR(s.motorState[sdk::FR_1].q, 1.1, 2e-3);
  EXPECT_NEAR(pushed, 1.0 / 4.05, 2e-3);
  EXPECT_NEAR(s.motorState[sdk::FL_1].tauEst, 256 - 1024 * pushed, 1.0);
  EXPECT_EQ(+s.motorState[sdk::RR_0].q, static_cast<float>(-sdk::tesmar_Hip_max));
  EXPECT_EQ(+s.motorState[sdk::RR_0].tauEst, -512);
  EXPECT_EQ(+s.motorState[sdk::FR_1].mode, 10);

  Controller hard(
      {sdk::LeggedType::Tesmar, kalvent_sim::ModelKind::Ideal, 500});  // 1000 N·m/rad · 2·10⁹ rad
  drive(hard,
        lowCommand(
            {{sdk::FR_1, 2.0e9f, kVelStop, 0, 32000}, {sdk::FL_1, -2.0e9f, kVelStop, 0, 32000}}),
        10);
  const auto h = stateOf<sdk::LowState_t>(hard);
  EXPECT_EQ(+h.motorState[sdk::FR_1].tauEst, 32767);
  EXPECT_EQ(+h.motorState[sdk::FL_1].tauEst, -32768);
}

TEST(Controller, LowStateHasARisingTickALevelImuAndTheLyingPose) {
  Controller c({sdk::LeggedType::Pelk, kalvent_sim::ModelKind::Ideal, 1000});
  Bytes packet(kalvent_sim::kMaxStateLength);
  c.advance();
  EXPECT_EQ(c.writeState(packet.data()), 0u) << "no level before a command";
  const Bytes cmd = lowCommand({});
  EXPECT_EQ(c.receive(cmd.data(), cmd.size()), Verdict::LowCommand);
  c.advance();
  const auto s = stateOf<sdk::LowState_t>(c);
  EXPECT_EQ(+s.tick, 2u) << "milliseconds at 1 kHz";
  EXPECT_EQ(+s.levelFlag, sdk::LOWLEVEL);
  EXPECT_FLOAT_EQ(s.imu.quaternion[0], 1);
  EXPECT_FLOAT_EQ(s.imu.accelerometer[2], 9.81f);
  for (int j = 0; j < kJoints; ++j) {
    EXPECT_NEAR(s.motorState[j].q, kalvent_sim::lyingPose()[j], 1e-6) << "joint " << j;
  }
  for (int leg = 0; leg < 4; ++leg) EXPECT_EQ(+s.footForce[leg], 0) << "lying";
  EXPECT_NEAR(kalvent_sim::standingFootForce(0, 0.67, -1.3), kalvent_sim::kRobotWeight / 4, 1.0);
}

TEST(Controller, IgnoresAndCountsBadChecksumsAndOtherLengths) {
  Controller c({sdk::LeggedType::Tesmar, kalvent_sim::ModelKind::Ideal, 500});
  Bytes good = lowCommand({{sdk::FR_1, kPosStop, kVelStop, 1280}});
  Bytes pull = lowCommand({{sdk::FR_1, kPosStop, kVelStop, -1280}});
  Bytes high = highCommand(2, 1, 0, 0, 0);
  pull[300] ^= 0x10;
  high[142] ^= 0x80;  // the stored checksum itself
  EXPECT_EQ(c.receive(pull.data(), pull.size()), Verdict::BadChecksum);
  EXPECT_EQ(c.receive(high.data(), high.size()), Verdict::BadChecksum);
  EXPECT_EQ(c.level(), kalvent_sim::Level::None);
  for (const size_t length : {0, 4, 142, 144, 256, 609, 611, 771}) {
    Bytes other(length, 0x5a);
    if (length >= 4) kalvent_test::stamp(other);
    EXPECT_EQ(c.receive(other.data(), other.size()), Verdict::WrongLength) << length;
  }
  // The last bytes of `reserve` are outside the checksum: still a good command.
  good[604] ^= 0xff;
  EXPECT_EQ(c.receive(good.data(), good.size()), Verdict::LowCommand);
  EXPECT_EQ(c.receive(pull.data(), pull.size()), Verdict::BadChecksum);
  c.advance();
  EXPECT_EQ(+stateOf<sdk::LowState_t>(c).motorState[sdk::FR_1].tauEst, 1280);
  EXPECT_EQ(c.commands(), 1u);
  EXPECT_EQ(c.badChecksums(), 3u);
  EXPECT_EQ(c.wrongLengths(), 8u);
}

TEST(Controller, DampsTheJointsWhenCommandsStop) {
  Controller c({sdk::LeggedType::Tesmar, kalvent_sim::ModelKind::Ideal, 500});
  const Bytes cmd = lowCommand({{sdk::FR_1, kPosStop, 1.0f, 0, 0, 32}});  // 1 rad/s, Kd 2
  const auto fr1 = [&c] { return stateOf<sdk::LowState_t>(c).motorState[sdk::FR_1]; };
  ASSERT_EQ(c.receive(cmd.data(), cmd.size()), Verdict::LowCommand);
  for (int i = 0; i < 45; ++i) c.advance();  // 90 ms
  EXPECT_FALSE(c.commandLost());
  EXPECT_GT(+fr1().dq, 0.9f);
  for (int i = 0; i < 10; ++i) c.advance();  // 110 ms
  EXPECT_TRUE(c.commandLost());
  EXPECT_LT(+fr1().tauEst, 0) << "braking";
  for (int i = 0; i < 40; ++i) c.advance();  // 190 ms
  EXPECT_NEAR(fr1().dq, 0, 0.01);
  // A new command takes the joint back.
  ASSERT_EQ(c.receive(cmd.data(), cmd.size()), Verdict::LowCommand);
  for (int i = 0; i < 40; ++i) c.advance();
  EXPECT_GT(+fr1().dq, 0.9f);
}

TEST(Controller, HighLevelIntegratesSpeedsIntoPositionAndYaw) {
  Controller c({sdk::LeggedType::Tesmar, kalvent_sim::ModelKind::Ideal, 500});
  drive(c, highCommand(2, 0.5f, 0, 0, 0.05f), 500);  // 1 s forward
  auto s = stateOf<sdk::HighState>(c);
  EXPECT_EQ(+s.levelFlag, sdk::HIGHLEVEL);
  EXPECT_EQ(+s.tick, 1000u) << "milliseconds at 500 Hz";
  EXPECT_NEAR(s.forwardPosition, 0.5, 1e-4);
  EXPECT_NEAR(s.sidePosition, 0, 1e-6);
  EXPECT_EQ(+s.mode, 2);
  EXPECT_EQ(+s.bodyHeight, 0.05f);

  // A quarter turn to the left while walking: a quarter circle of radius v/ω.
  const float turn = static_cast<float>(kPi / 2);
  const double r = 0.4 / turn;
  drive(c, highCommand(2, 0.4f, 0, turn, 0), 500);
  s = stateOf<sdk::HighState>(c);
  EXPECT_NEAR(s.forwardPosition, 0.5 + r, 1e-3);
  EXPECT_NEAR(s.sidePosition, r, 1e-3);
  EXPECT_NEAR(s.imu.rpy[2], kPi / 2, 1e-4);
  EXPECT_NEAR(s.imu.quaternion[0], std::cos(kPi / 4), 1e-4);
  EXPECT_EQ(+s.footForce[sdk::RL_], std::lround(kalvent_sim::kRobotWeight / 4));

  // Facing left, a sideways step to the right moves along +x.
  drive(c, highCommand(1, 0, -0.2f, 0, 0), 250);
  s = stateOf<sdk::HighState>(c);
  EXPECT_NEAR(s.forwardPosition, 0.5 + r + 0.1, 1e-3);
  EXPECT_NEAR(s.sidePosition, r, 1e-3);
  EXPECT_EQ(+s.mode, 1);

  // Yaw stays within (−π, π]; without commands the turn stops.
  drive(c, highCommand(2, 0, 0, 2.0f, 0), 1000);
  const double yaw = stateOf<sdk::HighState>(c).imu.rpy[2];
  EXPECT_NEAR(yaw, std::remainder(kPi / 2 + 4.0, 2 * kPi), 1e-3);
  for (int i = 0; i < 200; ++i) c.advance();
  s = stateOf<sdk::HighState>(c);
  EXPECT_EQ(+s.rotateSpeed, 0.0f);
  EXPECT_NEAR(s.imu.rpy[2], yaw, 0.3) << "no more than 100 ms of turning after the last command";
}

// --- faults on the state packets, on simulated time ---

// Offers numbered low-level state packets to an injector of `config`, one
// per 2 ms period, waking at each period and at each release time as the
// server does, and records what comes out and when.
class Faults : public ::testing::Test, protected kalvent_sim::PacketSink {
 protected:
  static constexpr int64_t kPeriodNs = 2000000;

  struct Sent {
    int64_t atNs;
    Bytes packet;
  };

  void run(int packets) {
    kalvent_sim::FaultInjector injector(config, 500);
    int offered = 0;
    now_ = 0;
    sent.clear();
    while (offered < packets || injector.nextReleaseNs() != INT64_MAX) {
      if (offered == packets) injector.unhold();
      now_ = offered < packets ? std::min(offered * kPeriodNs, injector.nextReleaseNs())
                               : injector.nextReleaseNs();
      injector.release(now_, *this);
      if (offered < packets && now_ == offered * kPeriodNs) {
        const Bytes packet = original(offered);
        injector.offer(packet.data(), packet.size(), now_, *this);
        ++offered;
        injector.release(now_, *this);
      }
    }
    counters = injector.counters();
  }

  // The packet offered `index`-th: its tick is index + 1.
  static Bytes original(int index) {
    sdk::LowState_t state{};
    state.levelFlag = sdk::LOWLEVEL;
    state.tick = static_cast<uint32_t>(index + 1);
    return stamped(state);
  }
  static int indexOf(const Bytes& packet) {
    return static_cast<int>(kalvent_test::get<uint32_t>(packet, offsetof(sdk::LowState_t, tick))) -
           1;
  }

  void send(const unsigned char* packet, size_t length) override {
    sent.push_back({now_, Bytes(packet, packet + length)});
  }

  kalvent_sim::FaultConfig config;
  std::vector<Sent> sent;
  kalvent_sim::FaultCounters counters;

 private:
  int64_t now_ = 0;
};

TEST_F(Faults, TakeTheirSharesCorruptUnderTheChecksumAndRepeatWithTheSeed) {
  const int n = 10000;
  config.lossPercent = 10;
  config.corruptPercent = 5;
  config.duplicatePercent = 20;
  config.seed = 7;
  run(n);
  EXPECT_NEAR(counters.lost, 0.10 * n, 0.01 * n);
  const double kept = static_cast<double>(n - counters.lost);
  EXPECT_NEAR(counters.corrupted, 0.05 * kept, 0.01 * kept);
  EXPECT_NEAR(counters.duplicated, 0.20 * kept, 0.01 * kept);
  ASSERT_EQ(sent.size(), n - counters.lost + counters.duplicated);
  // Without delay each packet goes at once, so its original is the one
  // offered at that time; a corrupted one differs in exactly one bit.
  uint64_t failed = 0;
  for (const Sent& s : sent) {
    const Bytes o = original(static_cast<int>(s.atNs / kPeriodNs));
    int bits = 0;
    for (size_t i = 0; i < o.size(); ++i) bits += __builtin_popcount(o[i] ^ s.packet[i]);
    const bool good = kalvent_test::get<uint32_t>(s.packet, s.packet.size() - 4) ==
                      kalvent_test::checksumOf(s.packet);
    ASSERT_EQ(bits, good ? 0 : 1) << "packet at " << s.atNs;
    failed += good ? 0 : 1;
  }
  EXPECT_TRUE(failed >= counters.corrupted && failed <= 2 * counters.corrupted) << failed;

  const std::vector<Sent> first = std::move(sent);
  run(n);
  EXPECT_TRUE(std::equal(first.begin(), first.end(), sent.begin(), sent.end(),
                         [](const Sent& a, const Sent& b) { return a.packet == b.packet; }));
  config.seed = 8;
  run(n);
  EXPECT_NE(first.size(), sent.size()) << "another seed, other faults";
}

TEST_F(Faults, DelayJitterAndReorderSetTheReleaseTimes) {
  const int n = 5000;
  config.delayMs = 5;
  config.jitterMs = 1.5;
  config.reorderPercent = 10;
  run(n);
  ASSERT_EQ(sent.size(), static_cast<size_t>(n));
  int64_t shortest = INT64_MAX;
  int64_t longest = 0;
  int highest = -1;
  uint64_t behind = 0;
  for (const Sent& s : sent) {
    const int index = indexOf(s.packet);
    const int64_t latency = s.atNs - index * kPeriodNs;
    EXPECT_GE(latency, 5000000) << "packet " << index;
    if (index < highest) {
      ++behind;
    } else {
      EXPECT_LE(latency, 6500000) << "packet " << index;
      shortest = std::min(shortest, latency);
      longest = std::max(longest, latency);
    }
    highest = std::max(highest, index);
  }
  EXPECT_LT(shortest, 5100000);
  EXPECT_GT(longest, 6400000);
  EXPECT_EQ(behind, counters.reordered);
  EXPECT_NEAR(counters.reordered, 0.10 * n, 0.02 * n);
}

// --- the program on a loopback socket ---

kalvent_sim::Options loopback(uint16_t port) {
  kalvent_sim::Options o;
  o.address = "127.0.0.1";
  o.port = port;
  o.modelKind = kalvent_sim::ModelKind::Ideal;
  return o;
}

// A user program's end of the link, counting the commands it sends.
struct Client {
  explicit Client(uint16_t simPort) : sim(simPort) {}

  void send(const Bytes& packet) {
    peer.sendTo(sim, packet);
    ++sent;
  }

  // Sends `command` every 50 ms until state comes back (the simulator may
  // still be starting); empty after 10 s.
  Bytes handshake(const Bytes& command) {
    Bytes state;
    for (int i = 0; i < 200 && state.empty(); ++i) {
      send(command);
      state = peer.receive(50);
    }
    return state;
  }

  kalvent_test::Peer peer;
  uint16_t sim;
  uint64_t sent = 0;
};

// The simulator's loop on a thread of this process, writing to `out`.
struct SimThread {
  SimThread(const kalvent_sim::Options& options, std::FILE* out)
      : thread([this, options, out] { status = kalvent_sim::run(options, stop, out, &totals); }) {}
  ~SimThread() { finish(); }
  int finish() {
    stop = true;
    if (thread.joinable()) thread.join();
    return status;
  }

  std::atomic<bool> stop{false};
  int status = -1;
  kalvent_sim::Counters totals;
  std::thread thread;
};

TEST(SimWire, AnswersFromItsPortIgnoresBadCommandsAndDampsOnceCommandsStop) {
  const uint16_t port = kalvent_test::freePort();
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  SimThread sim(loopback(port), out);
  Client client(port);
  // One command runs FR_1 at 1 rad/s (Kd 2) until the simulator brakes it.
  ASSERT_FALSE(client.handshake(lowCommand({{sdk::FR_1, kPosStop, 1.0f, 0, 0, 32}})).empty());
  Client stranger(port);
  Bytes low = lowCommand({});
  Bytes high = highCommand(2, 1, 0, 0, 0);
  low[100] ^= 0x04;
  high[12] ^= 0x01;
  stranger.send(low);
  stranger.send(high);
  for (const size_t length : {0, 100, 611, 1500}) stranger.send(Bytes(length, 0x11));

  uint32_t lastTick = 0;
  int packets = 0;
  float fastest = 0;
  bool braked = false;
  bool rested = false;
  for (const auto until = Clock::now() + 20s; (packets < 100 || !rested) && Clock::now() < until;) {
    const Bytes state = client.peer.receive(1000);
    if (state.empty()) continue;
    ++packets;
    EXPECT_EQ(client.peer.lastSourcePort(), port);
    const auto s = decoded<sdk::LowState_t>(state);
    EXPECT_EQ(+s.levelFlag, sdk::LOWLEVEL);
    EXPECT_GT(+s.tick, lastTick);
    ASSERT_FALSE(HasFailure()) << "packet " << packets;
    lastTick = s.tick;
    fastest = std::max(fastest, +s.motorState[sdk::FR_1].dq);
    braked = braked || (fastest > 0.8f && s.motorState[sdk::FR_1].tauEst < 0);
    rested = braked && std::abs(s.motorState[sdk::FR_1].dq) < 0.01f;
  }
  EXPECT_TRUE(rested) << "fastest " << fastest << (braked ? ", braked" : ", never braked");
  EXPECT_TRUE(stranger.peer.receive(100).empty()) << "bad commands are never answered";
  ASSERT_EQ(sim.finish(), 0);
  // Commands sent before the socket was bound are lost on the way.
  const kalvent_sim::Counters& t = sim.totals;
  EXPECT_TRUE(t.commands >= 1 && t.commands <= client.sent) << t.commands;
  EXPECT_GE(t.stateSent, static_cast<uint64_t>(packets));
  EXPECT_EQ(t.badChecksums, 2u);
  EXPECT_EQ(t.wrongLengths, 4u);
  std::string text(4096, 0);
  std::rewind(out);
  text.resize(std::fread(&text[0], 1, text.size(), out));
  std::fclose(out);
  EXPECT_NE(text.find("listening on 127.0.0.1:" + std::to_string(port)), npos) << text;
  EXPECT_NE(text.find("stopped after"), npos) << text;
  EXPECT_NE(text.find("bad_checksum=2 wrong_length=4"), npos) << text;
}

TEST(SimWire, HighLevelStateEchoesTheCommandUntilALowLevelCommandComes) {
  const uint16_t port = kalvent_test::freePort();
  SimThread sim(loopback(port), nullptr);
  Client client(port);
  Bytes state = client.handshake(highCommand(2, 0.5f, 0, 0, 0.1f));
  for (int i = 0; i < 20 && !state.empty(); ++i) state = client.peer.receive(1000);
  const auto s = decoded<sdk::HighState>(state);
  EXPECT_EQ(+s.levelFlag, sdk::HIGHLEVEL);
  EXPECT_EQ(+s.mode, 2);
  EXPECT_EQ(+s.bodyHeight, 0.1f);
  EXPECT_GT(+s.forwardPosition, 0.0f);

  state = client.handshake(lowCommand({}));
  for (int i = 0; i < 50 && state.size() != sizeof(sdk::LowState_t); ++i) {
    state = client.peer.receive(100);
  }
  EXPECT_EQ(+decoded<sdk::LowState_t>(state).levelFlag, sdk::LOWLEVEL);
}

TEST(SimWire, ARestartGoesQuietThenAnswersLyingWithTheTickFromZero) {
  char dir[] = "/tmp/kalvent_sim_test.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  kalvent_sim::Options options = loopback(kalvent_test::freePort());
  options.readyFile = std::string(dir) + "/ready";
  options.restart = {0.4, 300, true};
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  SimThread sim(options, out);
  std::string ready;
  for (int i = 0; i < 200 && ready.empty(); ++i) {
    std::this_thread::sleep_for(10ms);
    std::getline(std::ifstream(options.readyFile), ready);
  }
  EXPECT_EQ(ready, "ready");

  // Hold FR_1 away from its lying angle; a new controller has it lying again.
  Client client(static_cast<uint16_t>(options.port));
  const Bytes hold = lowCommand({{sdk::FR_1, 0.5f, 0.0f, 0, 1600, 32}});
  const float lying = static_cast<float>(kalvent_sim::lyingPose()[sdk::FR_1]);
  uint32_t lastTick = 0;
  Clock::time_point lastPacket{};
  double gap = 0;
  float movedTo = lying;
  bool back = false;
  for (const auto until = Clock::now() + 10s; !back && Clock::now() < until;) {
    client.send(hold);
    const Bytes state = client.peer.receive(10);
    if (state.empty()) continue;
    const auto s = decoded<sdk::LowState_t>(state);
    if (s.tick < lastTick) {
      gap = std::chrono::duration<double>(Clock::now() - lastPacket).count();
      EXPECT_LT(+s.tick, 100u);
      EXPECT_NEAR(s.motorState[sdk::FR_1].q, lying, 0.02) << "lying again";
      back = true;
    } else {
      movedTo = s.motorState[sdk::FR_1].q;
    }
    lastTick = s.tick;
    lastPacket = Clock::now();
  }
  ASSERT_TRUE(back);
  EXPECT_NEAR(movedTo, 0.5, 0.05);
  EXPECT_GT(gap, 0.25) << "silent while down";
  ASSERT_EQ(sim.finish(), 0);
  EXPECT_EQ(sim.totals.restarts, 1u);
  EXPECT_GT(sim.totals.ignoredWhileDown, 10u);
  EXPECT_FALSE(std::ifstream(options.readyFile).good()) << "removed at the end";
  rmdir(dir);
  std::string text(65536, 0);
  std::rewind(out);
  text.resize(std::fread(&text[0], 1, text.size(), out));
  std::fclose(out);
  EXPECT_NE(text.find("restart at 0.4 s for 300 ms"), npos) << text;
  EXPECT_NE(text.find(" restarts=1 "), npos) << text;
}

// --- the program's command line, in forked children ---

// Runs the program with `args` in a forked child, its errors on the captured
// stdout. With `sig`, a thread signals the child once the simulator answers
// on `port`, so that its handlers are in place, and the thread has sent
// `commands` more, each waiting up to 20 ms for a state.
kalvent_test::ChildResult program(std::vector<std::string> args, int sig = 0, uint16_t port = 0,
                                  const std::vector<Bytes>& commands = {}) {
  return kalvent_test::runInChild([&] {
    dup2(STDOUT_FILENO, STDERR_FILENO);
    std::thread user([&] {
      if (sig == 0) return;
      Client client(port);
      client.handshake(lowCommand({}));
      for (const Bytes& command : commands) {
        client.send(command);
        client.peer.receive(20);
      }
      kill(getpid(), sig);
    });
    args.insert(args.begin(), "kalvent_sim");
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    const int status = kalvent_sim::runCommandLine(static_cast<int>(args.size()), argv.data());
    std::fflush(stdout);
    user.join();
    _exit(status);
  });
}

TEST(SimProgram, ExitStatusesOfHelpBadOptionsAndRunTimeFailures) {
  const auto help = program({"--help"});
  EXPECT_TRUE(help.exited && help.status == 0) << help.status;
  EXPECT_EQ(help.out.rfind("Usage: kalvent_sim", 0), 0u) << help.out;
  const auto addresses = program({"--print-addresses"});
  EXPECT_TRUE(addresses.exited && addresses.status == 0) << addresses.status;
  EXPECT_EQ(addresses.out, std::string("basic=") + sdk::UDP_SERVER_IP_BASIC +
                               " sport=" + sdk::UDP_SERVER_IP_SPORT +
                               " port=" + std::to_string(sdk::UDP_SERVER_PORT) + "\n");
  const std::vector<std::vector<std::string>> bad = {
      {"--bogus"},          {"stray"},
      {"--port"},           {"--port", "0"},
      {"--port", "70000"},  {"--port=80x"},
      {"--rate", "0"},      {"--rate", "1001"},
      {"--rate", "fast"},   {"--model", "dog"},
      {"--model="},         {"--address", "localhost"},
      {"--duration", "-1"}, {"--duration=nan"},
      {"--duration", "0"},  {"--trajectory="},
      {"--loss", "100.5"},  {"--delay", "1001"},
      {"--jitter=-1"},      {"--restart", "1"},
      {"--restart", "1:0"}, {"--seed", "-1"},
      {"--ready-file="},    {"--print-addresses=x"},
      {"--duration=1e10"},  {"--restart=1e10:5"},
  };

  for (const auto& args : bad) {
    const auto r = program(args);
    EXPECT_TRUE(r.exited && r.status == 2) << args[0] << ": " << r.status;
    EXPECT_EQ(r.out.rfind("kalvent_sim: ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find(args[0].substr(0, args[0].find('='))), npos) << r.out;
    EXPECT_NE(r.out.find("Try 'kalvent_sim --help'."), npos) << r.out;
    if (args.size() == 2) {
      EXPECT_NE(r.out.find(": expected "), npos) << r.out;
    }
    EXPECT_EQ(r.out.find("listening"), npos) << r.out;
  }
  const kalvent_test::Peer holder;
  const auto busy = program({"--address", "127.0.0.1", "--port", std::to_string(holder.port())});
  EXPECT_TRUE(busy.exited && busy.status == 1) << busy.out;
  const auto unwritable =
      program({"--address", "127.0.0.1", "--port", std::to_string(kalvent_test::freePort()),
               "--trajectory", "/nonexistent/dir/trajectory.csv"});
  EXPECT_TRUE(unwritable.exited && unwritable.status == 1) << unwritable.out;
}

TEST(SimProgram, BoundedRunPrintsStatusAndWritesTheTrajectory) {
  char dir[] = "/tmp/kalvent_sim_test.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string file = std::string(dir) + "/trajectory.csv";
  const std::string port = std::to_string(kalvent_test::freePort());
  const auto r = program({"--address", "127.0.0.1", "--port=" + port, "--duration", "1.2", "--rate",
                          "1000", "--model", "pelk", "--trajectory", file});
  EXPECT_TRUE(r.exited && r.status == 0) << r.out;
  EXPECT_NE(r.out.find("listening on 127.0.0.1:" + port + ", model pelk, state at 1000 Hz"), npos)
      << r.out;
  EXPECT_NE(r.out.find("t=1s level=none commands=0 bad_checksum=0"), npos) << r.out;
  EXPECT_NE(r.out.find("stopped after"), npos) << r.out;

  std::ifstream in(file);
  std::string line;
  EXPECT_TRUE(std::getline(in, line));
  EXPECT_EQ(line.rfind("time,FR_0,FR_1,FR_2,FL_0,FL_1,FL_2,RR_0,RR_1,RR_2,RL_0,RL_1,RL_2,", 0), 0u)
      << line;
  const auto columns = std::count(line.begin(), line.end(), ',');
  int rows = 0;
  double firstFr1 = NAN;
  for (double lastTime = -1, time, fr1; std::getline(in, line); lastTime = time, ++rows) {
    ASSERT_EQ(std::sscanf(line.c_str(), "%lf,%*f,%lf", &time, &fr1), 2) << line;
    EXPECT_EQ(std::count(line.begin(), line.end(), ','), columns) << line;
    EXPECT_GT(time, lastTime);
    if (rows == 0) firstFr1 = fr1;
    EXPECT_NEAR(fr1, firstFr1, 0.01) << "lying, untouched";
  }
  EXPECT_GE(rows, 10);
  std::remove(file.c_str());
  rmdir(dir);
}

// A second's run films 30 frames (31 when the last period lands on the
// second), offscreen, in a file that ffprobe reads. Only the rigid bodies
// can be filmed.
TEST(SimProgram, VideoHasTheFramesOfTheRunsDuration) {
  const auto ideal = program({"--video", "v.mp4", "--model", "ideal"});
  EXPECT_TRUE(ideal.exited && ideal.status == 2) << ideal.out;
  EXPECT_NE(ideal.out.find("--video"), npos) << ideal.out;
  char dir[] = "/tmp/kalvent_sim_video.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string file = std::string(dir) + "/run.mp4";
  const auto r =
      program({"--address", "127.0.0.1", "--port", std::to_string(kalvent_test::freePort()),
               "--duration", "1", "--video", file});
  EXPECT_TRUE(r.exited && r.status == 0) << r.out;
  const std::string probe =
      "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
      "stream=nb_read_frames,width,height -of csv=p=0 " +
      file;
  std::FILE* pipe = popen(probe.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  int width = 0, height = 0, frames = 0;
  EXPECT_EQ(std::fscanf(pipe, "%d,%d,%d", &width, &height, &frames), 3);
  EXPECT_EQ(pclose(pipe), 0);
  EXPECT_EQ(width, 640);
  EXPECT_EQ(height, 480);
  EXPECT_NEAR(frames, 30, 1);
  std::remove(file.c_str());
  rmdir(dir);
}

// With SIGINT, the longest duration and latest restart allowed: they must
// neither end the run nor restart the controller at once.
TEST(SimProgram, SigtermAndSigintStopItCleanly) {
  for (const int sig : {SIGTERM, SIGINT}) {
    const uint16_t port = kalvent_test::freePort();
    std::vector<std::string> args = {"--address", "127.0.0.1", "--port", std::to_string(port)};
    if (sig == SIGINT) args.insert(args.end(), {"--duration", "1e9", "--restart", "1e9:600000"});
    const auto r = program(args, sig, port);
    EXPECT_TRUE(r.exited && r.status == 0) << "signal " << sig << ": " << r.signal << r.out;
    EXPECT_NE(r.out.find("stopped after"), npos) << r.out;
    EXPECT_EQ(r.out.find("commands=0 "), npos) << r.out;
    EXPECT_EQ(r.out.find(" restarts=1"), npos) << r.out;
  }
}

// A stand with a few corrupted commands among the good ones: the recording
// holds each command the simulator took and each state it sent, as its final
// line counts them, the last command as it was sent.
TEST(SimProgram, RecordingHoldsEveryCommandTakenAndStateSent) {
  char dir[] = "/tmp/kalvent_sim_record.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string file = std::string(dir) + "/stand.lcmlog";
  const Bytes hold = lowCommand({{sdk::FR_1, 0.5f, 0.0f, 0, 1600, 32}});
  Bytes corrupted = hold;
  corrupted[20] ^= 1;
  std::vector<Bytes> stand(300, hold);
  for (size_t i = 50; i < stand.size(); i += 100) stand[i] = corrupted;
  const uint16_t port = kalvent_test::freePort();
  const auto r = program({"--address", "127.0.0.1", "--port", std::to_string(port), "--model",
                          "ideal", "--rate", "1000", "--record", file},
                         SIGINT, port, stand);
  ASSERT_TRUE(r.exited && r.status == 0) << r.out;
  unsigned long long commands = 0, badChecksums = 0, states = 0;
  const size_t final = r.out.find("stopped after");
  ASSERT_NE(final, npos) << r.out;
  ASSERT_EQ(std::sscanf(r.out.c_str() + final,
                        "stopped after %*f s commands=%llu bad_checksum=%llu wrong_length=%*u "
                        "state_sent=%llu",
                        &commands, &badChecksums, &states),
            3)
      << r.out;
  EXPECT_EQ(badChecksums, 3u);
  EXPECT_GE(commands, 290u);

  sdk::EventLogReader reader(file);
  std::map<std::string, unsigned long long> counts;
  kalvent_log::low_cmd lastCommand{};
  kalvent_log::link_health lastHealth{};
  for (sdk::LogEvent event; reader.next(event);) {
    ++counts[event.channel];
    const int size = static_cast<int>(event.data.size());
    if (event.channel == sdk::kRecordedLowCmd) {
      ASSERT_EQ(lastCommand.decode(event.data.data(), 0, size), size);
    } else if (event.channel == sdk::kRecordedLinkHealth) {
      ASSERT_EQ(lastHealth.decode(event.data.data(), 0, size), size);
    }
  }
  EXPECT_EQ(reader.truncatedBytes(), 0u);
  EXPECT_EQ(counts[sdk::kRecordedLowCmd], commands);
  EXPECT_EQ(counts[sdk::kRecordedLowState], states);
  EXPECT_EQ(counts.size(), 3u) << "low-level commands, states and link health only";
  EXPECT_EQ(lastCommand.q[sdk::FR_1], 0.5f);
  EXPECT_EQ(static_cast<unsigned long long>(lastHealth.commands_recorded), commands);
  EXPECT_EQ(static_cast<unsigned long long>(lastHealth.states_recorded), states);
  EXPECT_EQ(lastHealth.valid_packets, -1) << "the link is not measured on this side";
  std::remove(file.c_str());
  rmdir(dir);
}

}  // namespace
