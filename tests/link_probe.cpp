// link_probe: measures what link health reports against what the socket
// saw, for the end-to-end tests against a faulty simulator.
//
// usage: link_probe ADDRESS PORT SECONDS STALE_MS
//
// Talks to a low-level controller at ADDRESS:PORT like a control program
// (an idle command every 2 ms), but receives event-driven: a thread waits on
// the socket and calls Recv the moment a datagram is queued (or after 1 ms
// without one), so the arrival times it notes are the packets' own.
// Meanwhile the main thread asks stale(STALE_MS) every 0.5 ms. All of it
// runs real-time where allowed. At the end it prints one line of key=value
// figures:
//   stale_after_ms  longest time from the last packet before a silence to
//                   stale() turning true (-1: it never went stale)
//   fresh_after_ms  longest time from the first packet after a silence to
//                   stale() turning false again (-1: never)
//   getrecv_bad     states handed out by GetRecv that fail the checksum
// and the endpoint's and link health's counters.
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <boost/bind/bind.hpp>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "kalvent_legged_sdk.h"
#include "wire.h"

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

double monotonicMs() {
  return static_cast<double>(sdk::monotonicNanoseconds()) / 1e6;
}

struct Arrivals {
  std::atomic<double> newest{NAN};  // ms, when the newest datagram was seen queued
  std::atomic<uint64_t> badStates{0};
};

void receive(sdk::UDP& udp, Arrivals& arrivals, const std::atomic<bool>& stop) {
  char state[sdk::LOW_STATE_LENGTH];
  while (!stop.load()) {
    // Also every 1 ms without data, as a loop would: those are empty polls.
    pollfd wait{udp.socketFd(), POLLIN, 0};
    const bool queued = poll(&wait, 1, 1) > 0;
    const double seen = monotonicMs();
    if (queued) arrivals.newest.store(seen);
    const int result = udp.Recv();
    if (!queued && result == 0) arrivals.newest.store(seen);  // came after the poll
    if (result != 0) continue;
    udp.GetRecv(state);
    if (!sdk::checksumMatches(state, sizeof state)) {
      arrivals.badStates.fetch_add(1);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s ADDRESS PORT SECONDS STALE_MS\n", argv[0]);
    return 2;
  }
  const auto port = static_cast<uint16_t>(std::atoi(argv[2]));
  const double seconds = std::atof(argv[3]);
  const double staleSeconds = std::atof(argv[4]) / 1e3;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // Real-time where allowed, so that the figures are the library's and not
  // the scheduler's on a loaded machine.
  sdk::TryInitEnvironment();

  sdk::UDP udp(sdk::UDP_CLIENT_PORT, argv[1], port, sdk::LOW_CMD_LENGTH, sdk::LOW_STATE_LENGTH);
  sdk::LowCmd cmd{};
  udp.InitCmdData(cmd);
  cmd.levelFlag = sdk::LOWLEVEL;
  udp.SetSend(cmd);
  const sdk::LinkHealth& health = udp.linkHealth();

  Arrivals arrivals;
  std::atomic<bool> stop{false};
  double staleAfter = -1;
  double freshAfter = -1;
  {
    sdk::LoopFunc send("udp_send", 0.002f, boost::bind(&sdk::UDP::Send, &udp));
    send.start();
    std::thread receiver(receive, std::ref(udp), std::ref(arrivals), std::cref(stop));
    const double end = monotonicMs() + seconds * 1e3;
    bool wasStale = false;
    double lastBeforeSilence = NAN;
    const timespec pause{0, 500000};
    for (double now = monotonicMs(); now < end;) {
      // In this order: the receiver notes an arrival before Recv takes it,
      // so a fresh verdict finds its packet's arrival already noted.
      const bool stale = health.anyValid() && health.stale(staleSeconds);
      const double newest = arrivals.newest.load();
      now = monotonicMs();
      if (stale && !wasStale) {
        lastBeforeSilence = newest;
        staleAfter = std::max(staleAfter, now - newest);
      } else if (!stale && wasStale && newest > lastBeforeSilence) {
        freshAfter = std::max(freshAfter, now - newest);
      }
      // A packet that came after the poll is noted only once Recv has taken
      // it: a fresh verdict can come first. Wait for the note rather than
      // miss the return.
      wasStale = stale || (wasStale && !(newest > lastBeforeSilence));
      nanosleep(&pause, nullptr);
    }
    stop.store(true);
    receiver.join();
  }
  std::printf(
      "link_probe: stale_after_ms=%.2f fresh_after_ms=%.2f getrecv_bad=%llu received=%llu "
      "checksum_errors=%llu valid=%llu empty_polls=%llu crc_failures=%llu tick_restarts=%llu "
      "loss_pct=%.2f overall_loss_pct=%.2f\n",
      staleAfter, freshAfter, static_cast<unsigned long long>(arrivals.badStates.load()),
      udp.udpState.RecvCount, udp.udpState.RecvCRCError,
      static_cast<unsigned long long>(health.validPackets()),
      static_cast<unsigned long long>(health.emptyPolls()),
      static_cast<unsigned long long>(health.checksumFailures()),
      static_cast<unsigned long long>(health.tickRestarts()), health.recentLoss() * 100,
      health.overallLoss() * 100);
  return 0;
}
