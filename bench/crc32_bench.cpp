// Checksum speed per packet type, each implementation beside the bit-serial
// definition, so that the speed-up reads as one ratio in one run.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "crc32.h"
#include "crc32_oracle.h"

namespace {

// Word counts of HighCmd, HighState, LowCmd_t and LowState_t.
const int kPacketWords[] = {34, 63, 151, 191};

std::vector<unsigned char> randomPacket(int words) {
  std::vector<unsigned char> packet(static_cast<size_t>(words) * 4 + 4);
  std::mt19937 rng(static_cast<unsigned>(words));
  for (auto& b : packet) b = static_cast<unsigned char>(rng());
  return packet;
}

template <uint32_t (*Checksum)(const void*, uint32_t)>
void BM_Checksum(benchmark::State& state) {
#if defined(__x86_64__)
  if (Checksum == KALVENT_LEGGED_SDK::crc32_impl::carryless &&
      !KALVENT_LEGGED_SDK::crc32_impl::carrylessSupported()) {
    state.SkipWithError("this CPU has no PCLMULQDQ");
    return;
  }
#endif
  const auto words = static_cast<uint32_t>(state.range(0));
  auto packet = randomPacket(static_cast<int>(words));
  for (auto _ : state) {
    benchmark::DoNotOptimize(packet.data());
    benchmark::DoNotOptimize(Checksum(packet.data(), words));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * words * 4);
}

uint32_t exported(const void* data, uint32_t words) {
  return KALVENT_LEGGED_SDK::crc32(static_cast<uint32_t*>(const_cast<void*>(data)), words);
}

void packetSizes(benchmark::internal::Benchmark* b) {
  for (int words : kPacketWords) b->Arg(words);
}

BENCHMARK_TEMPLATE(BM_Checksum, kalvent_test::crc32BitSerial)->Apply(packetSizes);
BENCHMARK_TEMPLATE(BM_Checksum, KALVENT_LEGGED_SDK::crc32_impl::portable)->Apply(packetSizes);
#if defined(__x86_64__)
BENCHMARK_TEMPLATE(BM_Checksum, KALVENT_LEGGED_SDK::crc32_impl::carryless)->Apply(packetSizes);
#endif
BENCHMARK_TEMPLATE(BM_Checksum, exported)->Apply(packetSizes);

}  // namespace

BENCHMARK_MAIN();
