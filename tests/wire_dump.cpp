// Prints a canonical set of records and packets as hex, among them a command
// with edge values as the endpoint sends it and a state packet as it decodes
// it. The native and the ARM builds must print the very same text:
// ./scripts/test compares.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <limits>

#include "kalvent_legged_sdk.h"
#include "udp_peer.h"
#include "wire.h"

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

// Standard output as it was: the endpoint's own lines, which name a run-time
// port, go to /dev/null.
FILE* out = nullptr;

void dump(const char* name, const void* record, size_t size) {
  const auto* p = static_cast<const unsigned char*>(record);
  std::fprintf(out, "%s %zu", name, size);
  for (size_t i = 0; i < size; ++i) std::fprintf(out, "%s%02x", i % 32 == 0 ? "\n  " : "", p[i]);
  std::fprintf(out, "\n");
}

template <typename Record>
void stampAndDump(const char* name, Record& record, int length) {
  sdk::stampChecksum(&record, static_cast<size_t>(length));
  dump(name, &record, sizeof record);
}

float field(int i) {
  return static_cast<float>(i) * 0.37f - 3.1f;
}

}  // namespace

int main() {
  out = fdopen(dup(STDOUT_FILENO), "w");
  dup2(open("/dev/null", O_WRONLY), STDOUT_FILENO);

  sdk::HighCmd highCmd{};
  highCmd.commVersion = 0x0102;
  highCmd.SN = 0xA1B2C3D4u;
  highCmd.mode = 2;
  highCmd.forwardSpeed = 0.25f;
  highCmd.rotateSpeed = -0.5f;
  highCmd.led[3] = {1, 2, 3};
  for (int i = 0; i < 40; ++i) highCmd.AppRemote[i] = static_cast<uint8_t>(i * 7);
  stampAndDump("HighCmd", highCmd, sdk::HIGH_CMD_LENGTH);

  sdk::HighState highState{};
  highState.imu.quaternion[0] = 1.0f;
  highState.imu.temperature = -5;
  highState.forwardPosition = 12.5f;
  highState.footPosition2Body[2] = {0.2f, -0.15f, -0.3f};
  highState.footForceEst[1] = -300;
  highState.tick = 123456789u;
  stampAndDump("HighState", highState, sdk::HIGH_STATE_LENGTH);

  sdk::UDPState counters{1, 2, 3, 4, 5, 6, 0xFFFFFFFFFFFFFFFFull};
  dump("UDPState", &counters, sizeof counters);

  // Values at, beyond and between the ends of the scaled fields' ranges.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const float taus[20] = {127.99609375f, -128.0f, 128.0f, -1e9f,   nan,    inf,   -inf,
                          1.999f,        -0.003f, 0.5f,   -0.5f,   1e-30f, 3e38f, -128.001f,
                          127.999f,      -1.5f,   64.0f,  -64.25f, 0.0f,   -0.0f};
  sdk::LowCmd cmd{};
  cmd.levelFlag = sdk::LOWLEVEL;
  cmd.SN = 0x01020304u;
  for (int k = 0; k < 20; ++k) {
    sdk::MotorCmd& m = cmd.motorCmd[k];
    m.mode = static_cast<uint8_t>(k % 2 == 0 ? 10 : 0);
    m.q = field(k);
    m.dq = k == 7 ? static_cast<float>(sdk::VelStopF) : field(40 - k);
    m.tau = taus[k];
    m.Kp = taus[(k + 7) % 20] * 8.0f;
    m.Kd = taus[(k + 13) % 20] * 16.0f;
    m.reserve[0] = 0x10000000u * static_cast<uint32_t>(k % 16);
  }
  cmd.led[1] = {255, 128, 1};
  for (int i = 0; i < 40; ++i) cmd.wirelessRemote[i] = static_cast<uint8_t>(i * 13);
  cmd.reserve = 0xFEDCBA98u;
  dump("LowCmd", &cmd, sizeof cmd);

  const int16_t torques[5] = {-32768, -256, 1, 32767, 896};
  sdk::LowState_t state{};
  state.levelFlag = sdk::LOWLEVEL;
  state.SN = 0xDEADBEEFu;
  state.imu.quaternion[0] = 0.5f;
  state.imu.temperature = 41;
  for (int k = 0; k < 20; ++k) {
    sdk::MotorState_t& m = state.motorState[k];
    m.mode = 10;
    m.q = field(k);
    m.dq = field(k + 3);
    m.q_raw = field(2 * k);
    m.dq_raw = -field(k);
    m.ddq = static_cast<int16_t>(k * 1000 - 10000);
    m.tauEst = torques[k % 5];
    m.ddq_raw = static_cast<int16_t>(-k);
    m.temperature = static_cast<int8_t>(k - 5);
    m.reserve[1] = 0xA5A5A5A5u;
  }
  for (int leg = 0; leg < 4; ++leg) {
    state.footForce[leg] = static_cast<int16_t>(50 * leg - 75);
    state.footForceEst[leg] = static_cast<int16_t>(-1000 * leg);
  }
  state.tick = 987654321u;
  stampAndDump("LowState_t", state, sdk::LOW_STATE_LENGTH);

  kalvent_test::Link link(sdk::LOW_CMD_LENGTH, sdk::LOW_STATE_LENGTH);
  link.endpoint.SetSend(cmd);
  const kalvent_test::Bytes wire = link.sent();
  sdk::LowState decoded;
  std::memset(&decoded, 0x5A, sizeof decoded);
  if (wire.size() != sdk::LOW_CMD_LENGTH || !link.deliver(kalvent_test::bytesOf(state))) {
    std::fprintf(stderr, "wire_dump: the loopback exchange failed\n");
    return 1;
  }
  link.endpoint.GetRecv(decoded);
  dump("LowCmd_t sent", wire.data(), wire.size());
  dump("LowState decoded", &decoded, sizeof decoded);
  return 0;
}
