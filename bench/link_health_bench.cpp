// What link health adds to each Recv: the update alone, as Recv makes it for
// a poll that finds nothing and for a state packet accepted, beside the
// endpoint's whole Recv and the bare system calls Recv makes, in the same
// run. The clock read the update makes is timed alone too.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "bench_support.h"
#include "kalvent_legged_sdk.h"
#include "udp_peer.h"
#include "wire.h"

namespace sdk = KALVENT_LEGGED_SDK;

namespace KALVENT_LEGGED_SDK {

struct LinkHealthBenchAccess {
  static void emptyPoll(LinkHealth& health, const sockaddr_in& peer) { health.onEmptyPoll(peer); }
  static void accepted(LinkHealth& health, const char* packet, const sockaddr_in& peer) {
    health.onAccepted(packet, LOW_STATE_LENGTH, 1, peer);
  }
};

}  // namespace KALVENT_LEGGED_SDK

namespace {

kalvent_test::Bytes lowState(uint32_t tick) {
  kalvent_test::Bytes packet = kalvent_test::goodPacket(sdk::LOW_STATE_LENGTH, 3);
  kalvent_test::put<uint32_t>(packet, offsetof(sdk::LowState_t, tick), tick);
  kalvent_test::stamp(packet);
  return packet;
}

// The next state packet from the peer: its tick raised by 2.
void sendNextState(kalvent_bench::Link& link, kalvent_test::Bytes& packet, uint32_t& tick) {
  tick += 2;
  kalvent_test::put<uint32_t>(packet, offsetof(sdk::LowState_t, tick), tick);
  kalvent_test::stamp(packet);
  link.peer.sendTo(link.port, packet);
}

void BM_RecvEmptyPoll(benchmark::State& state) {
  kalvent_bench::Link link(sdk::LOW_CMD_LENGTH, sdk::LOW_STATE_LENGTH);
  for (auto _ : state) benchmark::DoNotOptimize(link.endpoint->Recv());
}
BENCHMARK(BM_RecvEmptyPoll);

void BM_BareRecvEmptyPoll(benchmark::State& state) {
  kalvent_bench::Link link(sdk::LOW_CMD_LENGTH, sdk::LOW_STATE_LENGTH);
  char buffer[sdk::LOW_STATE_LENGTH];
  for (auto _ : state) {
    benchmark::DoNotOptimize(recv(link.endpoint->socketFd(), buffer, sizeof buffer, MSG_DONTWAIT));
  }
}
BENCHMARK(BM_BareRecvEmptyPoll);

// Each iteration: the peer sends one state packet (tick rising by 2), then
// Recv accepts it.
void BM_RecvAccepted(benchmark::State& state) {
  kalvent_bench::Link link(sdk::LOW_CMD_LENGTH, sdk::LOW_STATE_LENGTH);
  link.endpoint->linkHealth().setWarnings(false);
  kalvent_test::Bytes packet = lowState(0);
  uint32_t tick = 0;
  for (auto _ : state) {
    sendNextState(link, packet, tick);
    if (link.endpoint->Recv() != 0) {
      state.SkipWithError("the state packet was not accepted");
      return;
    }
  }
}
BENCHMARK(BM_RecvAccepted);

// The same with the calls Recv makes done by hand: receive until empty,
// verify the checksum, copy the packet.
void BM_BareRecvAccepted(benchmark::State& state) {
  kalvent_bench::Link link(sdk::LOW_CMD_LENGTH, sdk::LOW_STATE_LENGTH);
  kalvent_test::Bytes packet = lowState(0);
  char scratch[sdk::LOW_STATE_LENGTH];
  char kept[sdk::LOW_STATE_LENGTH];
  uint32_t tick = 0;
  for (auto _ : state) {
    sendNextState(link, packet, tick);
    while (recv(link.endpoint->socketFd(), scratch, sizeof scratch, MSG_DONTWAIT) > 0) {
    }
    if (!sdk::checksumMatches(scratch, sizeof scratch)) {
      state.SkipWithError("the state packet failed the checksum");
      return;
    }
    std::memcpy(kept, scratch, sizeof kept);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_BareRecvAccepted);

void BM_HealthUpdateEmptyPoll(benchmark::State& state) {
  sdk::LinkHealth health;
  const sockaddr_in peer{};
  for (auto _ : state) {
    sdk::LinkHealthBenchAccess::emptyPoll(health, peer);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_HealthUpdateEmptyPoll);

// A state packet with a tick rising by 2 each time, as Recv accepts it.
void BM_HealthUpdateAccepted(benchmark::State& state) {
  sdk::LinkHealth health;
  health.setWarnings(false);
  const sockaddr_in peer{};
  kalvent_test::Bytes packet = lowState(0);
  auto* bytes = reinterpret_cast<char*>(packet.data());
  uint32_t tick = 0;
  for (auto _ : state) {
    tick += 2;
    std::memcpy(bytes + offsetof(sdk::LowState_t, tick), &tick, sizeof tick);
    sdk::LinkHealthBenchAccess::accepted(health, bytes, peer);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_HealthUpdateAccepted);

// The one clock read link health makes per Recv.
void BM_MonotonicClock(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(sdk::monotonicNanoseconds());
}
BENCHMARK(BM_MonotonicClock);

}  // namespace

BENCHMARK_MAIN();
