// unloaded_robot: a low-level robot controller whose robot's feet carry
// nothing, for the end-to-end tests of the examples' verdict.
//
// usage: unloaded_robot back|hanging ADDRESS PORT SECONDS
//
// Serves the low-level protocol at ADDRESS:PORT for SECONDS: every 2 ms it
// takes the newest command and answers whoever sent it with a state. With
// its legs in the air each joint moves freely under its motor's law,
//   tau = Kp (q_des - q) + Kd (dq_des - dq) + tau_ff    (a stop value drops its term)
// against viscous friction only, from the folded legs of a robot lying
// down; so a program's stand pose is reached exactly. Meanwhile the feet
// carry nothing, and the IMU reads the trunk turned over (back: the robot
// lies on its back, roll pi) or level (hanging: it hangs in a harness).
// Prints "listening" once the port is bound.
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "kalvent_legged_sdk.h"
#include "udp_peer.h"
#include "wire.h"

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

const double kPeriod = 0.002;                  // s
const double kFriction = 1.0;                  // N·m·s/rad
const double kFolded[3] = {0.0, 1.12, -2.65};  // hip, thigh, calf, rad

// The trunk's orientation as quaternion w, x, y, z and as roll, pitch,
// yaw, rad: half a turn about its long axis, or level.
const float kUpsideDown[4] = {0, 1, 0, 0};
const float kUpsideDownRpy[3] = {3.14159265f, 0, 0};
const float kLevel[4] = {1, 0, 0, 0};
const float kLevelRpy[3] = {0, 0, 0};

// Stores `values` into the array field `offset` bytes into a packed record
// (no pointer to the misaligned field itself).
template <size_t N>
void storeAt(void* record, size_t offset, const float (&values)[N]) {
  std::memcpy(static_cast<unsigned char*>(record) + offset, values, sizeof values);
}

struct Joint {
  double q = 0, dq = 0;
};

// One period of a joint under its command: friction and the motor's
// damping are taken implicitly, so any gain is stable.
void advance(Joint& joint, const sdk::MotorCmd_t& m) {
  if (m.mode == 0) {
    joint.dq = 0;
    return;
  }
  const double kp = m.q >= sdk::PosStopF ? 0 : m.Kp / sdk::KP_WIRE_SCALE;
  const double kd = m.dq >= sdk::VelStopF ? 0 : m.Kd / sdk::KD_WIRE_SCALE;
  const double dqDes = m.dq >= sdk::VelStopF ? 0 : m.dq;
  const double drive = kp * (m.q - joint.q) + kd * dqDes + m.tau / sdk::TAU_WIRE_SCALE;
  joint.dq = drive / (kFriction + kd + kp * kPeriod);
  joint.q += joint.dq * kPeriod;
}

}  // namespace

int main(int argc, char** argv) {
  const bool back = argc == 5 && std::strcmp(argv[1], "back") == 0;
  if (argc != 5 || (!back && std::strcmp(argv[1], "hanging") != 0)) {
    std::fprintf(stderr, "usage: %s back|hanging ADDRESS PORT SECONDS\n", argv[0]);
    return 2;
  }
  kalvent_test::Peer peer(argv[2], static_cast<uint16_t>(std::atoi(argv[3])));
  std::printf("unloaded_robot: listening\n");
  std::fflush(stdout);

  Joint joints[12];
  for (int j = 0; j < 12; ++j) joints[j].q = kFolded[j % 3];
  sdk::LowCmd_t cmd{};
  bool commanded = false;
  const long periods = std::lround(std::atof(argv[4]) / kPeriod);
  const int64_t start = sdk::monotonicNanoseconds();
  for (long period = 1; period <= periods; ++period) {
    sdk::sleepUntilNanoseconds(start + std::llround(static_cast<double>(period) * kPeriod * 1e9));
    // The newest of the commands that queued meanwhile.
    unsigned char datagram[sdk::LOW_CMD_LENGTH + 1];
    while (const size_t got = peer.receiveInto(datagram, sizeof datagram, 0)) {
      if (got == sizeof cmd && sdk::checksumMatches(datagram, got)) {
        std::memcpy(&cmd, datagram, sizeof cmd);
        commanded = true;
      }
    }
    if (!commanded) continue;
    sdk::LowState_t state{};
    state.levelFlag = sdk::LOWLEVEL;
    storeAt(&state, offsetof(sdk::LowState_t, imu) + offsetof(sdk::IMU, quaternion),
            back ? kUpsideDown : kLevel);
    storeAt(&state, offsetof(sdk::LowState_t, imu) + offsetof(sdk::IMU, rpy),
            back ? kUpsideDownRpy : kLevelRpy);
    for (int j = 0; j < 12; ++j) {
      advance(joints[j], cmd.motorCmd[j]);
      state.motorState[j].mode = cmd.motorCmd[j].mode;
      state.motorState[j].q = static_cast<float>(joints[j].q);
      state.motorState[j].dq = static_cast<float>(joints[j].dq);
    }
    state.tick = static_cast<uint32_t>(period * 2);
    sdk::stampChecksum(&state, sizeof state);
    peer.reply({reinterpret_cast<unsigned char*>(&state),
                reinterpret_cast<unsigned char*>(&state) + sizeof state});
  }
  return 0;
}
