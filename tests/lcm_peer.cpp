// One end of an LCM exchange between two builds of the library (the native
// one and the ARM ones, run under qemu); tests/lcm_exchange runs them.
//
//   lcm_peer send SECONDS      publish the four test records every 10 ms
//   lcm_peer receive SECONDS   receive them (both levels, both sides); exit 0
//                              once each equals this build's test record
//                              byte for byte, 1 if that takes over SECONDS
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "kalvent_legged_sdk.h"
#include "test_support.h"

namespace sdk = KALVENT_LEGGED_SDK;
using Clock = std::chrono::steady_clock;

namespace {

using kalvent_test::patternedRecord;

template <typename T>
bool holds(sdk::LCM& bridge, int salt) {
  T got;
  bridge.Get(got);
  return kalvent_test::sameBytes(got, patternedRecord<T>(salt));
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc == 3 ? argv[1] : "";
  if (mode != "send" && mode != "receive") {
    std::fprintf(stderr, "usage: lcm_peer send|receive SECONDS\n");
    return 2;
  }
  const auto end = Clock::now() + std::chrono::duration<double>(std::atof(argv[2]));
  sdk::LCM high(sdk::HIGHLEVEL);
  sdk::LCM low(sdk::LOWLEVEL);
  if (mode == "send") {
    auto highCmd = patternedRecord<sdk::HighCmd>(1);
    auto highState = patternedRecord<sdk::HighState>(2);
    auto lowCmd = patternedRecord<sdk::LowCmd>(3);
    auto lowState = patternedRecord<sdk::LowState>(4);
    while (Clock::now() < end) {
      low.Send(highCmd);
      low.Send(highState);
      low.Send(lowCmd);
      low.Send(lowState);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
  }
  high.SubscribeCmd();
  high.SubscribeState();
  low.SubscribeCmd();
  low.SubscribeState();
  auto all = [&] {
    return holds<sdk::HighCmd>(high, 1) && holds<sdk::HighState>(high, 2) &&
           holds<sdk::LowCmd>(low, 3) && holds<sdk::LowState>(low, 4);
  };
  while (!all() && Clock::now() < end) {
    high.Recv();
    low.Recv();
  }
  if (all()) return 0;
  std::fprintf(stderr, "lcm_peer: not every record arrived intact in %s s\n", argv[2]);
  return 1;
}
