// Command and state packets for the simulator's tests, checksummed with the
// bit-serial reference rather than the code under test.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <utility>
#include <vector>

#include "crc32_oracle.h"
#include "kalvent_legged_sdk/comm.h"
#include "udp_comm.h"

namespace kalvent_test {

using Bytes = std::vector<unsigned char>;

inline uint32_t storedChecksum(const Bytes& packet) {
  const unsigned char* p = packet.data() + packet.size() - 4;
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline uint32_t computedChecksum(const Bytes& packet) {
  return crc32BitSerial(packet.data(), static_cast<uint32_t>(packet.size() / 4 - 1));
}

inline bool checksumValid(const Bytes& packet) {
  return packet.size() >= 4 && storedChecksum(packet) == computedChecksum(packet);
}

// Writes the checksum of the packet's covered words into its last four bytes.
inline Bytes withChecksum(Bytes packet) {
  const uint32_t crc = computedChecksum(packet);
  for (int i = 0; i < 4; ++i) {
    packet[packet.size() - 4 + i] = static_cast<unsigned char>(crc >> (8 * i));
  }
  return packet;
}

template <typename Record>
Bytes stamped(const Record& record) {
  Bytes packet(sizeof record);
  std::memcpy(packet.data(), &record, sizeof record);
  return withChecksum(std::move(packet));
}

template <typename Record>
Record decoded(const Bytes& packet) {
  Record record{};
  std::memcpy(&record, packet.data(), std::min(packet.size(), sizeof record));
  return record;
}

// The array field `offset` bytes into a packed record, copied out: indexing
// it in place would be an unaligned access.
template <typename T, size_t N>
std::array<T, N> loadAt(const void* record, size_t offset) {
  std::array<T, N> values;
  std::memcpy(values.data(), static_cast<const unsigned char*>(record) + offset, sizeof values);
  return values;
}

// An IMU reading with its arrays copied out.
struct Imu {
  std::array<float, 4> quaternion;
  std::array<float, 3> gyroscope;
  std::array<float, 3> accelerometer;
  std::array<float, 3> rpy;
};

inline Imu imuOf(const KALVENT_LEGGED_SDK::IMU& imu) {
  using KALVENT_LEGGED_SDK::IMU;
  return {loadAt<float, 4>(&imu, offsetof(IMU, quaternion)),
          loadAt<float, 3>(&imu, offsetof(IMU, gyroscope)),
          loadAt<float, 3>(&imu, offsetof(IMU, accelerometer)),
          loadAt<float, 3>(&imu, offsetof(IMU, rpy))};
}

template <typename Record>
std::array<int16_t, 4> footForceOf(const Record& record) {
  return loadAt<int16_t, 4>(&record, offsetof(Record, footForce));
}

// Plain copies of the packed fields the tests compare: gtest's assertions
// take their arguments by reference, which a packed field cannot safely bind.
struct Motor {
  int mode;
  float q;
  float dq;
  int tauEst;  // N·m * 256
};

inline Motor motorOf(const KALVENT_LEGGED_SDK::LowState_t& state, int slot) {
  const KALVENT_LEGGED_SDK::MotorState_t& m = state.motorState[slot];
  return {m.mode, m.q, m.dq, m.tauEst};
}

struct Walk {
  int levelFlag;
  int mode;
  float bodyHeight;
  float forwardSpeed;
  float rotateSpeed;
  float forwardPosition;
  float sidePosition;
};

inline Walk walkOf(const KALVENT_LEGGED_SDK::HighState& s) {
  return {s.levelFlag,       s.mode,        s.bodyHeight, s.forwardSpeed, s.rotateSpeed,
          s.forwardPosition, s.sidePosition};
}

template <typename Record>
uint32_t tickOf(const Record& record) {
  return record.tick;
}

// One motor slot in wire units: tau in 1/256 N·m, Kp in 1/32, Kd in 1/16.
struct WireMotor {
  uint8_t mode = 10;
  float q = static_cast<float>(KALVENT_LEGGED_SDK::PosStopF);
  float dq = static_cast<float>(KALVENT_LEGGED_SDK::VelStopF);
  int16_t tau = 0;
  int16_t Kp = 0;
  int16_t Kd = 0;
};

// A low-level command whose leg slots are `motors` (the rest zero).
inline Bytes lowCommand(const std::vector<std::pair<int, WireMotor>>& motors) {
  KALVENT_LEGGED_SDK::LowCmd_t cmd{};
  cmd.levelFlag = KALVENT_LEGGED_SDK::LOWLEVEL;
  for (const auto& [slot, m] : motors) {
    cmd.motorCmd[slot].mode = m.mode;
    cmd.motorCmd[slot].q = m.q;
    cmd.motorCmd[slot].dq = m.dq;
    cmd.motorCmd[slot].tau = m.tau;
    cmd.motorCmd[slot].Kp = m.Kp;
    cmd.motorCmd[slot].Kd = m.Kd;
  }
  return stamped(cmd);
}

inline Bytes highCommand(uint8_t mode, float forward, float side, float rotate, float bodyHeight) {
  KALVENT_LEGGED_SDK::HighCmd cmd{};
  cmd.levelFlag = KALVENT_LEGGED_SDK::HIGHLEVEL;
  cmd.mode = mode;
  cmd.forwardSpeed = forward;
  cmd.sideSpeed = side;
  cmd.rotateSpeed = rotate;
  cmd.bodyHeight = bodyHeight;
  return stamped(cmd);
}

}  // namespace kalvent_test
