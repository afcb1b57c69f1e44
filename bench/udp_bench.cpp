// The low-level codec per call, and one command/state exchange through an
// endpoint beside the same exchange on plain non-blocking sockets, in the same
// run against the same answering thread, so the endpoint's overhead reads as
// one ratio (median and 99th percentile of the per-exchange times). The
// exchange also counts the socket system calls of one control cycle: Send,
// then Recv with one state packet waiting.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <utility>
#include <vector>

#include "bench_support.h"
#include "kalvent_legged_sdk.h"
#include "percentile.h"
#include "syscall_count.h"
#include "udp_peer.h"
#include "wire.h"

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

// One endpoint for the codec benchmarks, which the framework calls repeatedly.
kalvent_bench::Link& codecLink() {
  static kalvent_bench::Link link(sdk::LOW_CMD_LENGTH, sdk::LOW_STATE_LENGTH);
  return link;
}

void BM_SetSendLowCmd(benchmark::State& state) {
  kalvent_bench::Link& link = codecLink();
  sdk::LowCmd cmd{};
  link.endpoint->InitCmdData(cmd);
  float torque = 0.0f;
  for (auto _ : state) {
    cmd.motorCmd[0].tau = torque;
    torque += 0.001f;
    link.endpoint->SetSend(cmd);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_SetSendLowCmd);

void BM_GetRecvLowState(benchmark::State& state) {
  kalvent_bench::Link& link = codecLink();
  if (!link.deliver(kalvent_test::goodPacket(sdk::LOW_STATE_LENGTH, 1))) {
    state.SkipWithError("no state packet arrived");
    return;
  }
  sdk::LowState decoded{};
  for (auto _ : state) {
    link.endpoint->GetRecv(decoded);
    benchmark::DoNotOptimize(&decoded);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_GetRecvLowState);

// Answers every command datagram on either of its sockets with a state
// packet, busy-polling like a controller's receive loop.
class Controller {
 public:
  Controller()
      : forEndpoint_(kalvent_bench::loopbackSocket(&endpointPort)),
        forRaw_(kalvent_bench::loopbackSocket(&rawPort)) {
    thread_ = std::thread([this] { run(); });
  }
  ~Controller() {
    stop_ = true;
    thread_.join();
    close(forEndpoint_);
    close(forRaw_);
  }
  Controller(const Controller&) = delete;
  Controller& operator=(const Controller&) = delete;

  uint16_t endpointPort = 0;
  uint16_t rawPort = 0;

 private:
  void run() {
    const kalvent_test::Bytes state = kalvent_test::goodPacket(sdk::LOW_STATE_LENGTH, 2);
    char command[2048];
    while (!stop_.load(std::memory_order_relaxed)) {
      for (const int fd : {forEndpoint_, forRaw_}) {
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t got = recvfrom(fd, command, sizeof command, MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &length);
        if (got == sdk::LOW_CMD_LENGTH) {
          sendto(fd, state.data(), state.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
        }
      }
    }
  }

  int forEndpoint_;
  int forRaw_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Socket system calls per control cycle: SetSend, Send, then (once the
// answer is queued, waited for without counting) Recv and GetRecv.
double socketCallsPerCycle(sdk::UDP& endpoint, sdk::LowCmd& cmd, sdk::LowState& decoded) {
  const int kCycles = 200;
  uint64_t calls = 0;
  for (int i = 0; i < kCycles; ++i) {
    const uint64_t before = kalvent_test::socketCalls();
    endpoint.SetSend(cmd);
    endpoint.Send();
    const uint64_t sent = kalvent_test::socketCalls();
    pollfd answer{endpoint.socketFd(), POLLIN, 0};
    poll(&answer, 1, 1000);
    const uint64_t waited = kalvent_test::socketCalls();
    endpoint.Recv();
    endpoint.GetRecv(decoded);
    calls += (sent - before) + (kalvent_test::socketCalls() - waited);
  }
  return static_cast<double>(calls) / kCycles;
}

double microsecondsSince(int64_t startNs) {
  return static_cast<double>(sdk::monotonicNanoseconds() - startNs) / 1e3;
}

// Each iteration: one exchange through the endpoint (SetSend, Send, Recv
// until a packet is stored, GetRecv) and one on raw sockets (send 610 bytes,
// busy-poll a non-blocking recv until 771 bytes come).
void BM_RoundTrip(benchmark::State& state) {
  Controller controller;
  const std::unique_ptr<sdk::UDP> opened = kalvent_bench::loopbackEndpoint(
      controller.endpointPort, sdk::LOW_CMD_LENGTH, sdk::LOW_STATE_LENGTH);
  sdk::UDP& endpoint = *opened;
  sdk::LowCmd cmd{};
  endpoint.InitCmdData(cmd);
  sdk::LowState decoded{};

  uint16_t rawPort = 0;
  const int raw = kalvent_bench::loopbackSocket(&rawPort);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(controller.rawPort);
  connect(raw, reinterpret_cast<sockaddr*>(&to), sizeof to);
  const kalvent_test::Bytes rawCommand(sdk::LOW_CMD_LENGTH, 0x11);
  char rawState[sdk::LOW_STATE_LENGTH];
  const double callsPerCycle = socketCallsPerCycle(endpoint, cmd, decoded);

  std::vector<double> library;
  std::vector<double> plain;
  library.reserve(static_cast<size_t>(state.max_iterations));
  plain.reserve(static_cast<size_t>(state.max_iterations));
  const int64_t timeoutNs = sdk::kNanosecondsPerSecond;
  const auto throughEndpoint = [&] {
    const int64_t start = sdk::monotonicNanoseconds();
    endpoint.SetSend(cmd);
    endpoint.Send();
    while (endpoint.Recv() != 0 && sdk::monotonicNanoseconds() - start < timeoutNs) {
    }
    endpoint.GetRecv(decoded);
    library.push_back(microsecondsSince(start));
  };
  const auto throughRawSockets = [&] {
    const int64_t start = sdk::monotonicNanoseconds();
    send(raw, rawCommand.data(), rawCommand.size(), 0);
    while (recv(raw, rawState, sizeof rawState, MSG_DONTWAIT) <= 0 &&
           sdk::monotonicNanoseconds() - start < timeoutNs) {
    }
    plain.push_back(microsecondsSince(start));
  };
  bool endpointFirst = true;
  for (auto _ : state) {
    // Alternating the order keeps either side from always following the other.
    if (endpointFirst) {
      throughEndpoint();
      throughRawSockets();
    } else {
      throughRawSockets();
      throughEndpoint();
    }
    endpointFirst = !endpointFirst;
  }
  close(raw);

  const sdk::Distribution lib = sdk::summarize(std::move(library));
  const sdk::Distribution bare = sdk::summarize(std::move(plain));
  state.counters["lib_median_us"] = lib.p50;
  state.counters["lib_p99_us"] = lib.p99;
  state.counters["raw_median_us"] = bare.p50;
  state.counters["raw_p99_us"] = bare.p99;
  state.counters["ratio_median"] = lib.p50 / bare.p50;
  state.counters["ratio_p99"] = lib.p99 / bare.p99;
  state.counters["stored"] = static_cast<double>(endpoint.udpState.RecvCount);
  state.counters["syscalls_per_cycle"] = callsPerCycle;
}
BENCHMARK(BM_RoundTrip)->Iterations(50000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
