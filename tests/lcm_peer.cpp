// One end of an LCM exchange between two builds of the library (the native
// and the armhf one, run under qemu). ./scripts/test runs a sender of one
// build against a receiver of the other inside a private network namespace
// and compares what the receiver got with `lcm_peer records`.
//
//   lcm_peer records             print the four canonical records as hex
//   lcm_peer send SECONDS        publish them every 10 ms for SECONDS
//   lcm_peer receive SECONDS OUT receive one of each (both levels, both
//                                sides) and write them as hex to OUT;
//                                exit 1 if any is missing after SECONDS
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "kalvent_legged_sdk.h"

namespace sdk = KALVENT_LEGGED_SDK;
using Clock = std::chrono::steady_clock;

namespace {

// Every byte varies, and typed fields hold values whose encoding an
// architecture could get wrong (negative, NaN payload, denormal).
template <typename T>
T canonical(int salt) {
  T record;
  auto* bytes = reinterpret_cast<unsigned char*>(&record);
  for (size_t i = 0; i < sizeof record; ++i) {
    bytes[i] = static_cast<unsigned char>(i * 37 + salt * 11 + 5);
  }
  return record;
}

struct Records {
  sdk::HighCmd highCmd = canonical<sdk::HighCmd>(1);
  sdk::HighState highState = canonical<sdk::HighState>(2);
  sdk::LowCmd lowCmd = canonical<sdk::LowCmd>(3);
  sdk::LowState lowState = canonical<sdk::LowState>(4);

  Records() {
    highCmd.levelFlag = sdk::HIGHLEVEL;
    highCmd.forwardSpeed = -0.75f;
    highState.bodyHeight = std::nanf("0x1234");
    lowCmd.levelFlag = sdk::LOWLEVEL;
    lowCmd.motorCmd[5].q = static_cast<float>(sdk::PosStopF);
    lowCmd.motorCmd[5].tau = 1e-40f;
    lowState.levelFlag = sdk::LOWLEVEL;
    lowState.motorState[11].q = -2.5f;
    lowState.tick = 0xDEADBEEFu;
  }
};

void hex(std::FILE* out, const char* name, const void* record, size_t size) {
  const auto* p = static_cast<const unsigned char*>(record);
  std::fprintf(out, "%s %zu", name, size);
  for (size_t i = 0; i < size; ++i) std::fprintf(out, "%s%02x", i % 32 == 0 ? "\n  " : "", p[i]);
  std::fprintf(out, "\n");
}

void print(std::FILE* out, const Records& r) {
  hex(out, "HighCmd", &r.highCmd, sizeof r.highCmd);
  hex(out, "HighState", &r.highState, sizeof r.highState);
  hex(out, "LowCmd", &r.lowCmd, sizeof r.lowCmd);
  hex(out, "LowState", &r.lowState, sizeof r.lowState);
}

int send(double seconds) {
  Records r;
  sdk::LCM bridge(sdk::LOWLEVEL);
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    bridge.Send(r.highCmd);
    bridge.Send(r.highState);
    bridge.Send(r.lowCmd);
    bridge.Send(r.lowState);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return 0;
}

int receive(double seconds, const char* path) {
  sdk::LCM high(sdk::HIGHLEVEL);
  high.SubscribeCmd();
  high.SubscribeState();
  sdk::LCM low(sdk::LOWLEVEL);
  low.SubscribeCmd();
  low.SubscribeState();
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  auto all = [&] {
    return high.highCmdLCMHandler.isrunning && high.highStateLCMHandler.isrunning &&
           low.lowCmdLCMHandler.isrunning && low.lowStateLCMHandler.isrunning;
  };
  while (!all() && Clock::now() < end) {
    high.Recv();
    low.Recv();
  }
  if (!all()) {
    std::fprintf(stderr, "lcm_peer: not every record arrived in %g s\n", seconds);
    return 1;
  }
  Records got;
  high.Get(got.highCmd);
  high.Get(got.highState);
  low.Get(got.lowCmd);
  low.Get(got.lowState);
  std::FILE* out = std::fopen(path, "w");
  if (out == nullptr) {
    std::perror(path);
    return 1;
  }
  print(out, got);
  return std::fclose(out) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "records" && argc == 2) {
    print(stdout, Records());
    return 0;
  }
  if (mode == "send" && argc == 3) return send(std::atof(argv[2]));
  if (mode == "receive" && argc == 4) return receive(std::atof(argv[2]), argv[3]);
  std::fprintf(stderr, "usage: lcm_peer records | send SECONDS | receive SECONDS OUT\n");
  return 2;
}
