// What travels on the link beyond the public records: the low-level wire
// records, the scales of their 16-bit fields, little-endian words and the
// packet checksum's place. Private to the library, the simulator, the tests
// and the benchmarks: user programs see only the records of comm.h.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "crc32.h"
#include "kalvent_legged_sdk/comm.h"

// Nothing declared here is exported by the shared library.
#pragma GCC visibility push(hidden)

namespace KALVENT_LEGGED_SDK {

#pragma pack(push, 1)

// One motor slot of the low-level command on the wire (27 bytes).
struct MotorCmd_t {
  uint8_t mode;
  float q;
  float dq;
  int16_t tau;  // N·m * TAU_WIRE_SCALE
  int16_t Kp;   // gain * KP_WIRE_SCALE
  int16_t Kd;   // gain * KD_WIRE_SCALE
  uint32_t reserve[3];
};

// The low-level command packet (610 bytes).
struct LowCmd_t {
  uint8_t levelFlag;
  uint16_t commVersion;
  uint16_t robotID;
  uint32_t SN;
  uint8_t bandWidth;
  MotorCmd_t motorCmd[20];
  LED led[4];
  uint8_t wirelessRemote[40];
  uint32_t reserve;
  uint32_t crc;  // checksum of bytes 0-603
};

// One motor slot of the low-level state on the wire (32 bytes).
struct MotorState_t {
  uint8_t mode;
  float q;
  float dq;
  int16_t ddq;     // unscaled
  int16_t tauEst;  // N·m * TAU_WIRE_SCALE
  float q_raw;
  float dq_raw;
  int16_t ddq_raw;  // unscaled
  int8_t temperature;
  uint32_t reserve[2];
};

// The low-level state packet (771 bytes).
struct LowState_t {
  uint8_t levelFlag;
  uint16_t commVersion;
  uint16_t robotID;
  uint32_t SN;
  uint8_t bandWidth;
  IMU imu;
  MotorState_t motorState[20];
  int16_t footForce[4];
  int16_t footForceEst[4];
  uint32_t tick;
  uint8_t wirelessRemote[40];
  uint32_t reserve;
  uint32_t crc;  // checksum of bytes 0-763
};

#pragma pack(pop)

const int LOW_CMD_LENGTH = 610;
const int LOW_STATE_LENGTH = 771;

// Each record's size and where its fields start; the checksum takes the
// last four bytes of a packet.
static_assert(sizeof(MotorCmd_t) == 27 && offsetof(MotorCmd_t, tau) == 9 &&
                  offsetof(MotorCmd_t, reserve) == 15,
              "MotorCmd_t layout");
static_assert(sizeof(LowCmd_t) == LOW_CMD_LENGTH && offsetof(LowCmd_t, motorCmd) == 10 &&
                  offsetof(LowCmd_t, led) == 550 && offsetof(LowCmd_t, reserve) == 602 &&
                  offsetof(LowCmd_t, crc) == LOW_CMD_LENGTH - 4,
              "LowCmd_t layout");
static_assert(sizeof(MotorState_t) == 32 && offsetof(MotorState_t, tauEst) == 11 &&
                  offsetof(MotorState_t, ddq_raw) == 21,
              "MotorState_t layout");
static_assert(sizeof(LowState_t) == LOW_STATE_LENGTH && offsetof(LowState_t, motorState) == 63 &&
                  offsetof(LowState_t, footForce) == 703 &&
                  offsetof(LowState_t, footForceEst) == 711 && offsetof(LowState_t, tick) == 719 &&
                  offsetof(LowState_t, crc) == LOW_STATE_LENGTH - 4,
              "LowState_t layout");

// Scales of the 16-bit fields: powers of two, so that scaling is exact.
constexpr float TAU_WIRE_SCALE = 256.0f;  // torque, units per N·m
constexpr float KP_WIRE_SCALE = 32.0f;    // position gain
constexpr float KD_WIRE_SCALE = 16.0f;    // velocity gain

// Number of words a packet's checksum covers: whole 32-bit words, less the
// word that holds the checksum. The checksum sits in the last four bytes.
constexpr uint32_t crcWords(int packetLength) {
  return (static_cast<uint32_t>(packetLength) >> 2) - 1;
}

// Words are little-endian on the wire whatever the host's byte order; `p`
// may have any alignment.
inline uint32_t loadLittleEndian(const void* p) {
  unsigned char b[4];
  std::memcpy(b, p, sizeof b);
  return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
         static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

inline void storeLittleEndian(void* p, uint32_t value) {
  const unsigned char b[4] = {
      static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
      static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
  std::memcpy(p, b, sizeof b);
}

// Checksum of the words a packet of `length` (at least 4) bytes covers.
inline uint32_t packetChecksum(const void* packet, size_t length) {
  return crc32_impl::fastest(packet, crcWords(static_cast<int>(length)));
}

// True when the last four bytes of the packet hold its checksum.
inline bool checksumMatches(const void* packet, size_t length) {
  return packetChecksum(packet, length) ==
         loadLittleEndian(static_cast<const unsigned char*>(packet) + length - 4);
}

// The fields every record starts with, named alike in the packet's packed
// record and in the program's.
template <typename From, typename To>
void copyHeader(const From& in, To& out) {
  out.levelFlag = in.levelFlag;
  out.commVersion = in.commVersion;
  out.robotID = in.robotID;
  out.SN = in.SN;
  out.bandWidth = in.bandWidth;
}

// Torque and gains travel as 16-bit integers scaled by a power of two, so the
// product is exact and in range the value is truncated toward zero. Out of
// range the nearest end goes out rather than a wrapped value of the opposite
// sign, and NaN asks for no torque or gain.
inline int16_t toWire(float value, float scale) {
  const float scaled = value * scale;
  if (std::isnan(scaled)) return 0;
  const float limited = std::min(std::max(scaled, -32768.0f), 32767.0f);
  return static_cast<int16_t>(static_cast<int32_t>(limited));
}

// The wire record of the program's motor command.
inline MotorCmd_t encodeMotorCmd(const MotorCmd& in) {
  MotorCmd_t out;
  out.mode = in.mode;
  out.q = in.q;
  out.dq = in.dq;
  out.tau = toWire(in.tau, TAU_WIRE_SCALE);
  out.Kp = toWire(in.Kp, KP_WIRE_SCALE);
  out.Kd = toWire(in.Kd, KD_WIRE_SCALE);
  std::memcpy(out.reserve, in.reserve, sizeof out.reserve);
  return out;
}

// The program's record of a motor command from its wire record: torque and
// gains back in N·m and N·m per rad (per rad/s).
inline MotorCmd decodeMotorCmd(const MotorCmd_t& in) {
  MotorCmd out;
  out.mode = in.mode;
  out.q = in.q;
  out.dq = in.dq;
  out.tau = in.tau / TAU_WIRE_SCALE;
  out.Kp = in.Kp / KP_WIRE_SCALE;
  out.Kd = in.Kd / KD_WIRE_SCALE;
  std::memcpy(out.reserve, in.reserve, sizeof out.reserve);
  return out;
}

// The program's record of a low-level command from its wire record.
inline void decodeLowCmd(const LowCmd_t& wire, LowCmd& cmd) {
  copyHeader(wire, cmd);
  for (int k = 0; k < 20; ++k) cmd.motorCmd[k] = decodeMotorCmd(wire.motorCmd[k]);
  std::memcpy(cmd.led, wire.led, sizeof cmd.led);
  std::memcpy(cmd.wirelessRemote, wire.wirelessRemote, sizeof cmd.wirelessRemote);
  cmd.reserve = wire.reserve;
  cmd.crc = wire.crc;
}

// The program's record of a low-level state from its wire record: the
// 16-bit fields widened, the torque estimate back in N·m.
inline void decodeLowState(const LowState_t& wire, LowState& state) {
  copyHeader(wire, state);
  state.imu = wire.imu;
  for (int k = 0; k < 20; ++k) {
    const MotorState_t& in = wire.motorState[k];
    MotorState& out = state.motorState[k];
    out.mode = in.mode;
    out.q = in.q;
    out.dq = in.dq;
    out.ddq = static_cast<float>(in.ddq);
    out.tauEst = static_cast<float>(in.tauEst) * (1.0f / TAU_WIRE_SCALE);
    out.q_raw = in.q_raw;
    out.dq_raw = in.dq_raw;
    out.ddq_raw = static_cast<float>(in.ddq_raw);
    out.temperature = in.temperature;
    std::memcpy(out.reserve, in.reserve, sizeof out.reserve);
  }
  std::memcpy(state.footForce, wire.footForce, sizeof state.footForce);
  std::memcpy(state.footForceEst, wire.footForceEst, sizeof state.footForceEst);
  state.tick = wire.tick;
  std::memcpy(state.wirelessRemote, wire.wirelessRemote, sizeof state.wirelessRemote);
  state.reserve = wire.reserve;
}

// Writes the packet's checksum into its last four bytes.
inline void stampChecksum(void* packet, size_t length) {
  storeLittleEndian(static_cast<unsigned char*>(packet) + length - 4,
                    packetChecksum(packet, length));
}

}  // namespace KALVENT_LEGGED_SDK

#pragma GCC visibility pop
