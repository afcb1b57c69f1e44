// The packet lengths of each level: the one place that maps a level flag to
// the bytes of its command and state packets. Private to the library, the
// tools, the Python module and the tests.
#pragma once

#include <cstdio>

#include "kalvent_legged_sdk/comm.h"
#include "kalvent_legged_sdk/result.h"
#include "wire.h"

#pragma GCC visibility push(hidden)

namespace KALVENT_LEGGED_SDK {

// Bytes of one packet each way, as the robot program sees them.
struct PacketLengths {
  int send;  // command packet
  int recv;  // state packet
};

// Whether `level` is one of the two level flags.
constexpr bool isLevelFlag(int level) noexcept {
  return level == HIGHLEVEL || level == LOWLEVEL;
}

// LOWLEVEL: 610 out, 771 in; every other value: the high level's 143 out,
// 256 in (callers that refuse other values check isLevelFlag first).
constexpr PacketLengths packetLengthsOf(int level) noexcept {
  return level == LOWLEVEL ? PacketLengths{LOW_CMD_LENGTH, LOW_STATE_LENGTH}
                           : PacketLengths{HIGH_CMD_LENGTH, HIGH_STATE_LENGTH};
}

// The lengths of `level`, or the level selector's error when it is neither
// flag; `component` ("UDP", "LCM") starts the message.
inline Result<PacketLengths> levelPacketLengths(const char* component, int level) {
  if (isLevelFlag(level)) return packetLengthsOf(level);
  char message[96];
  std::snprintf(message, sizeof message,
                "%s: level 0x%02x is neither HIGHLEVEL (0x00) nor LOWLEVEL (0xff)", component,
                static_cast<unsigned>(level));
  return Error{Step::LevelSelector, 0, message};
}

}  // namespace KALVENT_LEGGED_SDK

#pragma GCC visibility pop
