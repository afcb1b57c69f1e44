// loss_table: link health's loss estimates against the true loss, over real
// UDP on loopback, at state rates from 50 Hz to 1 kHz.
//
// usage: loss_table [SECONDS_PER_RUN [RATE LOSS_PCT JITTER_MS]]
//   SECONDS_PER_RUN: default 2; RATE...: one case only (default: all)
//
// For each rate, share of packets dropped and jitter, a sender thread plays
// the controller: low-level state packets at the rate, stamped with a
// millisecond tick as kalvent_sim stamps it (the simulated time rounded),
// some dropped at random, the rest each held back by a random 0 to JITTER ms
// (so that with jitter beyond the period they arrive out of order). An
// endpoint receives them twice over: once calling Recv three times per
// packet period (faster than the sender) and once every 2.5 periods
// (slower: each Recv drains two or three datagrams). Prints one row per
// case: the true loss (of the packets from the first sent to the last) and
// what overallLoss() and recentLoss() reported at the end, in %. Run by hand; about 2 x 96 runs of
// SECONDS_PER_RUN each.
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <queue>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "bench_support.h"
#include "kalvent_legged_sdk.h"
#include "udp_peer.h"
#include "wire.h"

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

using sdk::kNanosecondsPerSecond;
using sdk::monotonicNanoseconds;
using sdk::sleepUntilNanoseconds;

struct Case {
  int rateHz;
  int lossPercent;
  double jitterMs;
  double recvPerPeriod;  // Recv calls per packet period
};

struct Outcome {
  double trueLoss;
  double overall;
  double recent;
  uint64_t restarts;  // should stay 0
};

// Sends from `startNs` to `endNs`; returns how many packets were due and how
// many of them were dropped, from the first packet sent to the last (the
// span link health sees).
std::pair<long, long> sendState(const kalvent_test::Peer& peer, uint16_t port, const Case& c,
                                int64_t startNs, int64_t endNs, unsigned seed) {
  std::mt19937_64 random(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const double periodNs = static_cast<double>(kNanosecondsPerSecond) / c.rateHz;
  kalvent_test::Bytes packet = kalvent_test::goodPacket(sdk::LOW_STATE_LENGTH, 7);
  // Held-back packets: (release time, tick), earliest first.
  using Held = std::pair<int64_t, uint32_t>;
  std::priority_queue<Held, std::vector<Held>, std::greater<>> held;
  long sent = 0;
  long dropped = 0;
  long droppedSinceSent = 0;  // dropped after the last packet sent
  for (long k = 0;; ++k) {
    const auto dueNs = startNs + std::llround(static_cast<double>(k) * periodNs);
    // Release what is due before the next packet.
    while (!held.empty() && held.top().first <= dueNs) {
      sleepUntilNanoseconds(held.top().first);
      kalvent_test::put<uint32_t>(packet, offsetof(sdk::LowState_t, tick), held.top().second);
      sdk::stampChecksum(packet.data(), packet.size());
      peer.sendTo(port, packet);
      held.pop();
    }
    if (dueNs >= endNs) break;
    sleepUntilNanoseconds(dueNs);
    const bool drop = unit(random) * 100 < c.lossPercent;
    if (sent == 0 && drop) continue;
    ++sent;
    if (drop) {
      ++droppedSinceSent;
      continue;
    }
    dropped += droppedSinceSent;
    droppedSinceSent = 0;
    const auto tick = static_cast<uint32_t>(std::llround(static_cast<double>(k) * periodNs / 1e6));
    held.emplace(dueNs + std::llround(unit(random) * c.jitterMs * 1e6), tick);
  }
  return {sent - droppedSinceSent, dropped};
}

Outcome run(const Case& c, double seconds, unsigned seed) {
  kalvent_bench::Link link(sdk::LOW_CMD_LENGTH, sdk::LOW_STATE_LENGTH);
  link.endpoint->linkHealth().setWarnings(false);
  // Room for a second of state, so that a receiver delayed by a loaded
  // machine loses nothing in the kernel (which the sender could not count).
  const int bytes = 4 << 20;
  setsockopt(link.endpoint->socketFd(), SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes);
  const int64_t startNs = monotonicNanoseconds() + 20000000;
  const int64_t endNs = startNs + std::llround(seconds * kNanosecondsPerSecond);
  std::pair<long, long> counts;
  std::thread sender([&] { counts = sendState(link.peer, link.port, c, startNs, endNs, seed); });
  const double recvEveryNs =
      static_cast<double>(kNanosecondsPerSecond) / c.rateHz / c.recvPerPeriod;
  // Until the last held-back packet is in, with a margin.
  const int64_t recvEndNs = endNs + std::llround((c.jitterMs + 5) * 1e6);
  for (long i = 0;; ++i) {
    const int64_t at = startNs + std::llround(static_cast<double>(i) * recvEveryNs);
    if (at > recvEndNs) break;
    sleepUntilNanoseconds(at);
    link.endpoint->Recv();
  }
  sender.join();
  const sdk::LinkHealth& health = link.endpoint->linkHealth();
  return {static_cast<double>(counts.second) / static_cast<double>(counts.first),
          health.overallLoss(), health.recentLoss(), health.tickRestarts()};
}

}  // namespace

// What escapes ends the program with a line, not with std::terminate.
int main(int argc, char** argv) try {
  CLI::App app("loss_table: link health's loss estimates against the true loss");
  double seconds = 2.0;
  int caseRate = 0;
  int caseLoss = 0;
  double caseJitter = 0;
  app.add_option("SECONDS_PER_RUN", seconds, "at least 1.2")->check(CLI::Range(1.2, 3600.0));
  const CLI::Option* oneCase[] = {app.add_option("RATE", caseRate),
                                  app.add_option("LOSS_PCT", caseLoss),
                                  app.add_option("JITTER_MS", caseJitter)};
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : 2;
  }
  const size_t given = oneCase[0]->count() + oneCase[1]->count() + oneCase[2]->count();
  if (given != 0 && given != 3) {
    std::fprintf(stderr, "loss_table: RATE, LOSS_PCT and JITTER_MS come together\n");
    return 2;
  }
  // Real-time where allowed: the figures are link health's, not the
  // scheduler's.
  sdk::TryInitEnvironment();
  std::vector<int> rates{50};
  for (int rate = 300; rate <= 1000; rate += 50) rates.push_back(rate);
  std::vector<int> losses{0, 10, 30};
  std::vector<double> jitters{0.0, 1.0};
  if (given == 3) {
    rates = {caseRate};
    losses = {caseLoss};
    jitters = {caseJitter};
  }
  std::printf("loss in %%: true / overallLoss / recentLoss at the end of %.1f s\n", seconds);
  std::printf("%6s %5s %7s | %-20s | %-20s\n", "rate", "drop", "jitter", "Recv 3x per period",
              "Recv every 2.5 periods");
  unsigned seed = 1;
  double worst = 0;
  for (int rate : rates) {
    for (int loss : losses) {
      for (double jitter : jitters) {
        std::printf("%4d Hz %4d%% %4.1f ms |", rate, loss, jitter);
        for (double recvPerPeriod : {3.0, 0.4}) {
          const Outcome o = run({rate, loss, jitter, recvPerPeriod}, seconds, ++seed);
          // "R": the tick was taken for a controller restart.
          std::printf(" %5.1f / %5.1f / %5.1f%s|", 100 * o.trueLoss, 100 * o.overall,
                      100 * o.recent, o.restarts != 0 ? "R" : " ");
          const double error = std::fabs(o.overall - o.trueLoss);
          worst = std::isnan(error) ? error : std::max(worst, error);
        }
        std::printf("\n");
        std::fflush(stdout);
      }
    }
  }
  std::printf("largest error of overallLoss: %.1f points\n", 100 * worst);
  return 0;
} catch (const std::exception& e) {
  std::fprintf(stderr, "loss_table: %s\n", e.what());
  return 1;
}
