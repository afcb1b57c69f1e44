// Wire records of the low-level link and the packet checksum. Private to the
// library and its own tools: user programs see only the records of comm.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kalvent_legged_sdk/comm.h"

namespace KALVENT_LEGGED_SDK {

#pragma pack(push, 1)

// One motor slot of the low-level command on the wire (27 bytes).
struct MotorCmd_t {
  uint8_t mode;
  float q;
  float dq;
  int16_t tau;  // N·m * 256
  int16_t Kp;   // gain * 32
  int16_t Kd;   // gain * 16
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
  int16_t tauEst;  // N·m * 256
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

static_assert(sizeof(MotorCmd_t) == 27, "MotorCmd_t layout");
static_assert(offsetof(MotorCmd_t, tau) == 9, "MotorCmd_t layout");
static_assert(offsetof(MotorCmd_t, reserve) == 15, "MotorCmd_t layout");
static_assert(sizeof(LowCmd_t) == LOW_CMD_LENGTH, "LowCmd_t layout");
static_assert(offsetof(LowCmd_t, motorCmd) == 10, "LowCmd_t layout");
static_assert(offsetof(LowCmd_t, led) == 550, "LowCmd_t layout");
static_assert(offsetof(LowCmd_t, reserve) == 602, "LowCmd_t layout");
static_assert(offsetof(LowCmd_t, crc) == 606, "LowCmd_t layout");
static_assert(sizeof(MotorState_t) == 32, "MotorState_t layout");
static_assert(offsetof(MotorState_t, tauEst) == 11, "MotorState_t layout");
static_assert(offsetof(MotorState_t, ddq_raw) == 21, "MotorState_t layout");
static_assert(sizeof(LowState_t) == LOW_STATE_LENGTH, "LowState_t layout");
static_assert(offsetof(LowState_t, motorState) == 63, "LowState_t layout");
static_assert(offsetof(LowState_t, footForce) == 703, "LowState_t layout");
static_assert(offsetof(LowState_t, footForceEst) == 711, "LowState_t layout");
static_assert(offsetof(LowState_t, tick) == 719, "LowState_t layout");
static_assert(offsetof(LowState_t, crc) == 767, "LowState_t layout");

// Number of words a packet's checksum covers: whole 32-bit words, less the
// word that holds the checksum. The checksum sits in the last four bytes.
constexpr uint32_t crcWords(int packetLength) {
  return (static_cast<uint32_t>(packetLength) >> 2) - 1;
}

// CRC-32 (polynomial 0x04C11DB7, initial value 0xFFFFFFFF, MSB first, no
// final XOR) of `len` little-endian 32-bit words starting at `data`. `data`
// may have any alignment. Exported from the library.
uint32_t crc32(uint32_t* data, uint32_t len);

// The checksum's implementations, exposed so that each can be tested against
// the bit-serial definition; crc32 picks the fastest one the CPU supports.
namespace crc32_impl {

// Slicing-by-8 tables; any CPU, either byte order.
uint32_t portable(const void* data, uint32_t words);

// True when the CPU can run carryless(): x86-64 with PCLMULQDQ.
bool carrylessSupported();

#if defined(__x86_64__)
// Carry-less multiplication folding; call only when carrylessSupported().
uint32_t carryless(const void* data, uint32_t words);
#endif

}  // namespace crc32_impl

}  // namespace KALVENT_LEGGED_SDK
