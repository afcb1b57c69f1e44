// Prints a canonical set of records and their checksums as hex. The native
// and the armhf build must print the very same text: ./scripts/test compares.
#include <cstdio>
#include <cstring>

#include "kalvent_legged_sdk.h"
#include "udp_comm.h"

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

void dump(const char* name, const void* record, size_t size) {
  const auto* p = static_cast<const unsigned char*>(record);
  std::printf("%s %zu", name, size);
  for (size_t i = 0; i < size; ++i) std::printf("%s%02x", i % 32 == 0 ? "\n  " : "", p[i]);
  std::printf("\n");
}

void dumpChecksum(const char* name, void* packet, int length) {
  std::printf(
      "%s crc32 %08x\n", name,
      static_cast<unsigned>(sdk::crc32(static_cast<uint32_t*>(packet), sdk::crcWords(length))));
}

float field(int i) {
  return static_cast<float>(i) * 0.37f - 3.1f;
}

}  // namespace

int main() {
  sdk::HighCmd highCmd{};
  highCmd.levelFlag = sdk::HIGHLEVEL;
  highCmd.commVersion = 0x0102;
  highCmd.SN = 0xA1B2C3D4u;
  highCmd.mode = 2;
  highCmd.forwardSpeed = 0.25f;
  highCmd.rotateSpeed = -0.5f;
  highCmd.bodyHeight = 0.1f;
  highCmd.led[3] = {1, 2, 3};
  for (int i = 0; i < 40; ++i) highCmd.AppRemote[i] = static_cast<uint8_t>(i * 7);
  dump("HighCmd", &highCmd, sizeof highCmd);
  dumpChecksum("HighCmd", &highCmd, sdk::HIGH_CMD_LENGTH);

  sdk::HighState highState{};
  highState.imu.quaternion[0] = 1.0f;
  highState.imu.temperature = -5;
  highState.forwardPosition = 12.5f;
  highState.footPosition2Body[2] = {0.2f, -0.15f, -0.3f};
  highState.footForceEst[1] = -300;
  highState.tick = 123456789u;
  dump("HighState", &highState, sizeof highState);
  dumpChecksum("HighState", &highState, sdk::HIGH_STATE_LENGTH);

  sdk::LowCmd lowCmd{};
  lowCmd.levelFlag = sdk::LOWLEVEL;
  for (int k = 0; k < 20; ++k) {
    lowCmd.motorCmd[k].mode = 10;
    lowCmd.motorCmd[k].q = field(k);
    lowCmd.motorCmd[k].dq = static_cast<float>(sdk::VelStopF);
    lowCmd.motorCmd[k].tau = field(k + 20);
    lowCmd.motorCmd[k].Kp = 20.0f;
    lowCmd.motorCmd[k].Kd = 0.5f;
  }
  dump("LowCmd", &lowCmd, sizeof lowCmd);

  sdk::LowState lowState{};
  lowState.levelFlag = sdk::LOWLEVEL;
  for (int k = 0; k < 20; ++k) {
    lowState.motorState[k].q = field(k);
    lowState.motorState[k].tauEst = field(2 * k) / 8.0f;
    lowState.motorState[k].temperature = static_cast<int8_t>(30 + k);
  }
  lowState.footForce[0] = 512;
  dump("LowState", &lowState, sizeof lowState);

  sdk::UDPState counters{1, 2, 3, 4, 5, 6, 0xFFFFFFFFFFFFFFFFull};
  dump("UDPState", &counters, sizeof counters);
  return 0;
}
