// Prints a canonical set of records and their checksums as hex. The native
// and the armhf build must print the very same text: ./scripts/test compares.
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "kalvent_legged_sdk.h"
#include "udp_comm.h"
#include "udp_peer.h"

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

// The endpoint names its run-time port on stdout: keep its lines out of the
// text that the two builds must print alike.
class StdoutToNull {
 public:
  StdoutToNull() : saved_(dup(STDOUT_FILENO)) {
    std::fflush(stdout);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
  }
  ~StdoutToNull() {
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }
  StdoutToNull(const StdoutToNull&) = delete;
  StdoutToNull& operator=(const StdoutToNull&) = delete;

 private:
  int saved_;
};

// A command with values at, beyond and between the ends of the scaled
// fields' ranges, NaN and infinities among them.
sdk::LowCmd edgeLowCmd() {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const float taus[20] = {127.99609375f, -128.0f, 128.0f, -1e9f,   nan,    inf,   -inf,
                          1.999f,        -0.003f, 0.5f,   -0.5f,   1e-30f, 3e38f, -128.001f,
                          127.999f,      -1.5f,   64.0f,  -64.25f, 0.0f,   -0.0f};
  sdk::LowCmd cmd{};
  cmd.levelFlag = sdk::LOWLEVEL;
  cmd.commVersion = 0x0A0B;
  cmd.robotID = 0x0C0D;
  cmd.SN = 0x01020304u;
  cmd.bandWidth = 0x33;
  for (int k = 0; k < 20; ++k) {
    sdk::MotorCmd& m = cmd.motorCmd[k];
    m.mode = static_cast<uint8_t>(k % 2 == 0 ? 10 : 0);
    m.q = field(k);
    m.dq = k == 7 ? static_cast<float>(sdk::VelStopF) : field(40 - k);
    m.tau = taus[k];
    m.Kp = taus[(k + 7) % 20] * 8.0f;
    m.Kd = taus[(k + 13) % 20] * 16.0f;
    m.reserve[0] = 0x10000000u * static_cast<uint32_t>(k % 16);
    m.reserve[2] = static_cast<uint32_t>(k);
  }
  cmd.led[1] = {255, 128, 1};
  for (int i = 0; i < 40; ++i) cmd.wirelessRemote[i] = static_cast<uint8_t>(i * 13);
  cmd.reserve = 0xFEDCBA98u;
  cmd.crc = 0x0BADF00Du;
  return cmd;
}

// A state packet as a controller would send it, checksum included.
kalvent_test::Bytes craftedLowStatePacket() {
  const int16_t torques[5] = {-32768, -256, 1, 32767, 896};
  sdk::LowState_t state{};
  state.levelFlag = sdk::LOWLEVEL;
  state.commVersion = 0x0201;
  state.SN = 0xDEADBEEFu;
  state.imu.quaternion[0] = 0.5f;
  state.imu.rpy[1] = -0.25f;
  state.imu.temperature = 41;
  for (int k = 0; k < 20; ++k) {
    sdk::MotorState_t& m = state.motorState[k];
    m.mode = 10;
    m.q = field(k);
    m.dq = field(k + 3);
    m.ddq = static_cast<int16_t>(k * 1000 - 10000);
    m.tauEst = torques[k % 5];
    m.q_raw = field(2 * k);
    m.dq_raw = -field(k);
    m.ddq_raw = static_cast<int16_t>(-k);
    m.temperature = static_cast<int8_t>(k - 5);
    m.reserve[1] = 0xA5A5A5A5u;
  }
  for (int leg = 0; leg < 4; ++leg) {
    state.footForce[leg] = static_cast<int16_t>(50 * leg - 75);
    state.footForceEst[leg] = static_cast<int16_t>(-1000 * leg);
  }
  state.tick = 987654321u;
  state.wirelessRemote[0] = 0x55;
  state.reserve = 0xFFFFFFFFu;
  state.crc = sdk::crc32(reinterpret_cast<uint32_t*>(&state), sdk::crcWords(sdk::LOW_STATE_LENGTH));
  return kalvent_test::bytesOf(state);
}

// Runs a command and a state packet through an endpoint on loopback: the
// command's wire bytes as a peer receives them, and the decoded state.
bool throughEndpoint(sdk::LowCmd& cmd, const kalvent_test::Bytes& statePacket,
                     kalvent_test::Bytes* wire, sdk::LowState* decoded) {
  StdoutToNull quiet;
  kalvent_test::Link link(sdk::LOW_CMD_LENGTH, sdk::LOW_STATE_LENGTH);
  link.endpoint.SetSend(cmd);
  *wire = link.sent();
  if (!link.deliver(statePacket)) return false;
  std::memset(decoded, 0x5A, sizeof *decoded);
  link.endpoint.GetRecv(*decoded);
  return wire->size() == static_cast<size_t>(sdk::LOW_CMD_LENGTH);
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

  sdk::LowCmd edge = edgeLowCmd();
  const kalvent_test::Bytes statePacket = craftedLowStatePacket();
  kalvent_test::Bytes wire;
  sdk::LowState decoded;
  if (!throughEndpoint(edge, statePacket, &wire, &decoded)) {
    std::fprintf(stderr, "wire_dump: the loopback exchange failed\n");
    return 1;
  }
  dump("LowCmd_t sent for edge values", wire.data(), wire.size());
  dump("LowState_t received", statePacket.data(), statePacket.size());
  dump("LowState decoded", &decoded, sizeof decoded);
  return 0;
}
