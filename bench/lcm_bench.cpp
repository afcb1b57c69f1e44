// Round trip through the LCM bridge (state side sends a LowCmd, the command
// side answers with a LowState) beside the same exchange written directly on
// lcm::LCM, in the same run. The goal is a bridge within 10% of raw LCM.
//
// LCM multicasts, so the program first moves itself into a private network
// namespace with multicast routed over lo, and refuses to run where it
// cannot: no benchmark traffic ever reaches a real network.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <lcm/lcm-cpp.hpp>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_support.h"
#include "kalvent_legged_sdk.h"

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

const char kPing[] = "BENCH_PING";
const char kPong[] = "BENCH_PONG";
// A reply that takes this long means the peer is gone.
const int64_t kReplyTimeoutNs = 2 * sdk::kNanosecondsPerSecond;

bool enterPrivateNetwork(std::string* why) {
  if (unshare(CLONE_NEWNET) != 0) {
    *why = std::string("cannot make a private network namespace: ") + std::strerror(errno);
    return false;
  }
  for (const char* command :
       {"ip link set lo up", "ip link set lo multicast on", "ip route add 224.0.0.0/4 dev lo"}) {
    if (std::system((std::string(command) + " >/dev/null 2>&1").c_str()) != 0) {
      *why = std::string("'") + command + "' failed";
      return false;
    }
  }
  setenv("LCM_DEFAULT_URL", "udpm://239.255.76.67:7667?ttl=0", 1);
  return true;
}

// The answering process, forked before the measuring side makes its LCM
// instance. `serve` sets up, calls ready(), then answers until killed.
class Peer {
 public:
  explicit Peer(const std::function<void(const std::function<void()>&)>& serve) {
    int fds[2];
    if (pipe(fds) != 0) return;
    std::fflush(stdout);
    pid_ = fork();
    if (pid_ == 0) {
      close(fds[0]);
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      try {
        serve([&] {
          const char one = 1;
          if (write(fds[1], &one, 1) != 1) _exit(1);
        });
      } catch (const std::exception&) {
        // Not ready: the benchmark reports that the command side did not start.
      }
      _exit(0);
    }
    close(fds[1]);
    pollfd p{fds[0], POLLIN, 0};
    char got = 0;
    ready_ = pid_ > 0 && poll(&p, 1, 10000) == 1 && read(fds[0], &got, 1) == 1;
    close(fds[0]);
  }

  ~Peer() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }

  bool ready() const { return ready_; }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
};

// The bridge's low-level end, made without ending the process and without
// its "LCM Initialized." line; std::runtime_error when it cannot be made.
std::unique_ptr<sdk::LCM> openBridge() {
  return kalvent_bench::orThrow(sdk::LCM::open(sdk::LOWLEVEL));
}

void bridgeCommandSide(const std::function<void()>& ready) {
  const std::unique_ptr<sdk::LCM> opened = openBridge();
  sdk::LCM& bridge = *opened;
  bridge.SubscribeCmd();
  ready();
  sdk::LowCmd cmd{};
  sdk::LowState state{};
  uint32_t answered = 0;
  for (;;) {
    if (bridge.Recv() != 1) continue;
    bridge.Get(cmd);
    if (cmd.SN == answered) continue;
    answered = cmd.SN;
    state.tick = cmd.SN;
    bridge.Send(state);
  }
}

void BM_BridgeRoundTrip(benchmark::State& st) {
  Peer peer(bridgeCommandSide);
  const std::unique_ptr<sdk::LCM> opened = openBridge();
  sdk::LCM& bridge = *opened;
  bridge.SubscribeState();
  if (!peer.ready()) {
    st.SkipWithError("the command side did not start");
    return;
  }
  sdk::LowCmd cmd{};
  sdk::LowState state{};
  uint32_t seq = 0;
  for (auto _ : st) {
    cmd.SN = ++seq;
    bridge.Send(cmd);
    const int64_t deadline = sdk::monotonicNanoseconds() + kReplyTimeoutNs;
    do {
      bridge.Recv();
      bridge.Get(state);
    } while (state.tick != seq && sdk::monotonicNanoseconds() < deadline);
    if (state.tick != seq) {
      st.SkipWithError("no reply");
      break;
    }
  }
}

// Receives one record from a raw subscription.
template <typename T>
struct RawInbox {
  T record{};
  static void onMsg(const lcm::ReceiveBuffer* rbuf, const std::string&, RawInbox* self) {
    if (rbuf->data_size == sizeof(T)) std::memcpy(&self->record, rbuf->data, sizeof(T));
  }
};

void rawCommandSide(const std::function<void()>& ready) {
  lcm::LCM lcm("");
  RawInbox<sdk::LowCmd> inbox;
  lcm.subscribeFunction(kPing, &RawInbox<sdk::LowCmd>::onMsg, &inbox);
  ready();
  sdk::LowState state{};
  uint32_t answered = 0;
  for (;;) {
    if (lcm.handleTimeout(2) <= 0) continue;
    if (inbox.record.SN == answered) continue;
    answered = inbox.record.SN;
    state.tick = inbox.record.SN;
    lcm.publish(kPong, &state, sizeof state);
  }
}

void BM_RawLcmRoundTrip(benchmark::State& st) {
  Peer peer(rawCommandSide);
  lcm::LCM lcm("");
  RawInbox<sdk::LowState> inbox;
  lcm.subscribeFunction(kPong, &RawInbox<sdk::LowState>::onMsg, &inbox);
  if (!peer.ready()) {
    st.SkipWithError("the command side did not start");
    return;
  }
  sdk::LowCmd cmd{};
  uint32_t seq = 0;
  for (auto _ : st) {
    cmd.SN = ++seq;
    lcm.publish(kPing, &cmd, sizeof cmd);
    const int64_t deadline = sdk::monotonicNanoseconds() + kReplyTimeoutNs;
    do {
      lcm.handleTimeout(2);
    } while (inbox.record.tick != seq && sdk::monotonicNanoseconds() < deadline);
    if (inbox.record.tick != seq) {
      st.SkipWithError("no reply");
      break;
    }
  }
}

// On a shared machine the fastest repetition is the steadiest estimate of
// what each path costs; compare the two "min" rows.
double fastest(const std::vector<double>& v) {
  return *std::min_element(v.begin(), v.end());
}

BENCHMARK(BM_RawLcmRoundTrip)
    ->UseRealTime()
    ->MinTime(0.5)
    ->Repetitions(12)
    ->ComputeStatistics("min", fastest);
BENCHMARK(BM_BridgeRoundTrip)
    ->UseRealTime()
    ->MinTime(0.5)
    ->Repetitions(12)
    ->ComputeStatistics("min", fastest);

}  // namespace

int main(int argc, char** argv) {
  std::string why;
  if (!enterPrivateNetwork(&why)) {
    std::fprintf(stderr, "lcm_bench runs only in a private network namespace: %s\n", why.c_str());
    return 1;
  }
  // The machine's load drifts: alternate the two kinds' repetitions so that
  // both see the same conditions.
  setenv("BENCHMARK_ENABLE_RANDOM_INTERLEAVING", "true", 0);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
