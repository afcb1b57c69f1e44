// kalvent_sim's cost per simulated second: the rigid-body physics beside the
// ideal joints, both standing the robot up and holding it under the stand
// command at the demo's settings (state at 500 Hz), and the physics robot
// trotting at 0.5 m/s under the high level. The `rtf` counter is the
// real-time factor on one core: simulated seconds per second of CPU time.
#include <benchmark/benchmark.h>

#include <array>
#include <cstddef>
#include <cstring>

#include "controller.h"
#include "example_util.h"
#include "wire.h"

namespace {

namespace sdk = KALVENT_LEGGED_SDK;
using kalvent_sim::Controller;
using kalvent_sim::ModelKind;

const int kRateHz = 500;

// A command record as a wire packet, its checksum stamped.
template <typename Record>
std::array<unsigned char, sizeof(Record)> packetOf(const Record& cmd) {
  std::array<unsigned char, sizeof cmd> packet;
  std::memcpy(packet.data(), &cmd, sizeof cmd);
  sdk::stampChecksum(packet.data(), packet.size());
  return packet;
}

// The timed iterations: each takes `command`, advances one state period and
// writes a state.
template <size_t Length>
void runPeriods(benchmark::State& state, Controller& controller,
                const std::array<unsigned char, Length>& command) {
  unsigned char out[kalvent_sim::kMaxStateLength];
  for (auto _ : state) {
    controller.receive(command.data(), command.size());
    controller.advance();
    benchmark::DoNotOptimize(controller.writeState(out));
  }
  state.counters["rtf"] = benchmark::Counter(static_cast<double>(state.iterations()) / kRateHz,
                                             benchmark::Counter::kIsRate);
}

// The stand pose under the stand example's gains, as a wire packet.
std::array<unsigned char, sizeof(sdk::LowCmd_t)> standCommand() {
  sdk::LowCmd_t cmd{};
  cmd.levelFlag = sdk::LOWLEVEL;
  for (int j = 0; j < kalvent_sim::kJoints; ++j) {
    cmd.motorCmd[j] = {10,
                       static_cast<float>(example::kStandPose[j % 3]),
                       0.0f,
                       0,
                       static_cast<int16_t>(example::StandMotion::kKp * 32),
                       static_cast<int16_t>(example::StandMotion::kKd * 16),
                       {}};
  }
  return packetOf(cmd);
}

void simulate(benchmark::State& state, ModelKind kind) {
  Controller controller({sdk::LeggedType::Tesmar, kind, kRateHz});
  runPeriods(state, controller, standCommand());
}

// A walk command at 0.5 m/s, as a wire packet.
std::array<unsigned char, sizeof(sdk::HighCmd)> walkCommand() {
  sdk::HighCmd cmd{};
  cmd.levelFlag = sdk::HIGHLEVEL;
  cmd.mode = 2;
  cmd.forwardSpeed = 0.5f;
  return packetOf(cmd);
}

// The robot stands up first (two simulated seconds, not timed), then each
// iteration is one state period of the trot.
void BM_PhysicsWalking(benchmark::State& state) {
  const auto command = walkCommand();
  Controller controller({sdk::LeggedType::Tesmar, ModelKind::Physics, kRateHz});
  for (int i = 0; i < 2 * kRateHz; ++i) {
    controller.receive(command.data(), command.size());
    controller.advance();
  }
  runPeriods(state, controller, command);
}

void BM_Physics(benchmark::State& state) {
  simulate(state, ModelKind::Physics);
}
void BM_Ideal(benchmark::State& state) {
  simulate(state, ModelKind::Ideal);
}

BENCHMARK(BM_Physics)->MinTime(3.0);
BENCHMARK(BM_PhysicsWalking)->MinTime(3.0);
BENCHMARK(BM_Ideal)->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
