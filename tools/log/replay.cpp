// kalvent_log replay: the recorded states, served with their recorded
// timing as a robot controller would, or published on the LCM bridge.
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <lcm/lcm-cpp.hpp>
#include <vector>

#include "kalvent_legged_sdk/clock.h"
#include "kalvent_legged_sdk/comm.h"
#include "kalvent_legged_sdk/lcm.h"
#include "kalvent_legged_sdk/udp.h"
#include "log_tool.h"
#include "packet_ring.h"
#include "record_codec.h"
#include "wire.h"

namespace sdk = KALVENT_LEGGED_SDK;

namespace kalvent_log_tool {

namespace {

// One recorded state: its packet and when it was accepted.
struct State {
  int64_t monotonicNs;
  std::vector<char> packet;
};

// Appends the state of `event`, a typed record `Record` of a state packet of
// `length` bytes, unless it does not decode.
template <typename Record>
void addState(const sdk::LogEvent& event, int length, std::vector<State>& states) {
  Record record{};
  if (record.decode(event.data.data(), 0, static_cast<int>(event.data.size())) < 0) return;
  State state{record.monotonic_ns, std::vector<char>(static_cast<size_t>(length))};
  sdk::encodePacket(record, state.packet.data());
  states.push_back(std::move(state));
}

// The recording's states of one level: the low level's when it has any.
std::vector<State> recordedStates(const Recording& recording, bool& lowLevel) {
  std::vector<State> low;
  std::vector<State> high;
  recording.forEach([&](const sdk::LogEvent& event) {
    if (event.channel == sdk::kRecordedLowState) {
      addState<kalvent_log::low_state>(event, sdk::LOW_STATE_LENGTH, low);
    } else if (event.channel == sdk::kRecordedHighState) {
      addState<kalvent_log::high_state>(event, sdk::HIGH_STATE_LENGTH, high);
    }
  });
  lowLevel = !low.empty();
  return lowLevel ? low : high;
}

// The record a program reads on the bridge, from a low-level state packet.
sdk::LowState userRecord(const char* packet) {
  sdk::LowState_t wire;
  std::memcpy(&wire, packet, sizeof wire);
  sdk::LowState state{};
  sdk::decodeLowState(wire, state);
  return state;
}

int replayOnLcm(const std::vector<State>& states, bool lowLevel) {
  lcm::LCM lcm;
  if (!lcm.good()) {
    std::fprintf(stderr, "kalvent_log: LCM cannot be set up\n");
    return 1;
  }
  const int64_t start = sdk::monotonicNanoseconds();
  for (const State& state : states) {
    sdk::sleepUntilNanoseconds(start + state.monotonicNs - states.front().monotonicNs);
    if (lowLevel) {
      const sdk::LowState record = userRecord(state.packet.data());
      lcm.publish(sdk::lowStateChannel, &record, sizeof record);
    } else {
      lcm.publish(sdk::highStateChannel, state.packet.data(),
                  static_cast<unsigned>(state.packet.size()));
    }
  }
  return 0;
}

int replayOnUdp(const std::vector<State>& states, bool lowLevel, const ReplayOptions& options) {
  auto opened = sdk::UDP::openServer(options.port, 0,
                                     lowLevel ? sdk::LOW_STATE_LENGTH : sdk::HIGH_STATE_LENGTH,
                                     lowLevel ? sdk::LOW_CMD_LENGTH : sdk::HIGH_CMD_LENGTH);
  if (!opened) {
    std::fprintf(stderr, "kalvent_log: %s\n", opened.error().message.c_str());
    return 1;
  }
  sdk::UDP& controller = *opened.value();
  controller.linkHealth().setWarnings(false);
  const int64_t giveUp =
      sdk::monotonicNanoseconds() + static_cast<int64_t>(options.waitSeconds * 1e9);
  while (controller.targetIP == nullptr) {
    if (sdk::monotonicNanoseconds() > giveUp) {
      std::fprintf(stderr, "kalvent_log: no command came to port %u within %g s\n", options.port,
                   options.waitSeconds);
      return 1;
    }
    controller.Recv();
    usleep(1000);
  }
  std::vector<char> packet;
  const int64_t start = sdk::monotonicNanoseconds();
  for (const State& state : states) {
    sdk::sleepUntilNanoseconds(start + state.monotonicNs - states.front().monotonicNs);
    packet = state.packet;
    controller.SetSend(packet.data());
    if (controller.Send() < 0) {
      std::fprintf(stderr, "kalvent_log: sending a state failed: %s\n", std::strerror(errno));
    }
    controller.Recv();
  }
  return 0;
}

}  // namespace

int replay(const Recording& recording, const ReplayOptions& options) {
  bool lowLevel = false;
  const std::vector<State> states = recordedStates(recording, lowLevel);
  if (states.empty()) {
    std::fprintf(stderr, "kalvent_log: the recording holds no state to replay\n");
    return 1;
  }
  const int status =
      options.lcm ? replayOnLcm(states, lowLevel) : replayOnUdp(states, lowLevel, options);
  if (status == 0) {
    std::fprintf(stderr, "kalvent_log: replayed %zu %s-level states over %.3f s\n", states.size(),
                 lowLevel ? "low" : "high",
                 (states.back().monotonicNs - states.front().monotonicNs) * 1e-9);
  }
  return status;
}

}  // namespace kalvent_log_tool
