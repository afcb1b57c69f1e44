// What a Recorder costs the control thread, and how much it writes.
//
// On a loopback link at the low level, the same Send and Recv calls are
// timed one by one without a recorder and with one attached (its writer
// thread running beside them): the difference of the medians and of the
// 99th percentiles is the recorder's share. The ring copy alone (timestamp
// and copy of a state packet) is timed too. Then the file size of a
// minute's recording at 1 kHz, from the bytes a run of states and commands
// wrote. The calls follow each other as fast as the link allows, far above
// 1 kHz: the writer may fall behind and drop states here.
//
// usage: recorder_bench [CALLS]   calls per measurement, default 20000
//
// A plain program rather than a Google Benchmark: it reports distributions.
#include <poll.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bench_support.h"
#include "kalvent_legged_sdk.h"
#include "packet_ring.h"
#include "percentile.h"
#include "udp_peer.h"
#include "wire.h"

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

// Call times in ns.
using Figures = sdk::Distribution;

// Times `call` once per iteration, after `prepare` (untimed).
Figures timeCalls(int calls, const std::function<void()>& prepare,
                  const std::function<void()>& call) {
  std::vector<double> samples;
  samples.reserve(static_cast<size_t>(calls));
  for (int i = 0; i < calls; ++i) {
    prepare();
    const int64_t start = sdk::monotonicNanoseconds();
    call();
    samples.push_back(static_cast<double>(sdk::monotonicNanoseconds() - start));
  }
  return sdk::summarize(std::move(samples));
}

struct Pair {
  Figures send;
  Figures recv;
  uint64_t recorded;  // commands and states
};

// Send and Recv on a fresh low-level loopback link, with a recorder into
// `path` unless it is empty. Each Recv finds one state waiting.
Pair measureLink(int calls, const std::string& path) {
  kalvent_bench::Link link(610, 771);
  link.endpoint->linkHealth().setWarnings(false);
  std::unique_ptr<sdk::Recorder> recorder;
  if (!path.empty()) {
    recorder = std::make_unique<sdk::Recorder>(path);
    recorder->attach(*link.endpoint);
  }
  const kalvent_test::Bytes state = kalvent_test::goodPacket(771, 7);
  char sink[1024];
  Pair pair{};
  pair.send = timeCalls(
      calls, [&] { link.peer.receiveInto(sink, sizeof sink, 0); }, [&] { link.endpoint->Send(); });
  pair.recv = timeCalls(
      calls,
      [&] {
        link.peer.sendTo(link.port, state);
        pollfd wait{link.endpoint->socketFd(), POLLIN, 0};
        poll(&wait, 1, 1000);
      },
      [&] { link.endpoint->Recv(); });
  if (recorder) {
    const sdk::RecorderStats stats = recorder->stats();
    pair.recorded = stats.commandsRecorded + stats.statesRecorded;
    std::printf("  recorder: %llu commands, %llu states, %llu + %llu dropped\n",
                static_cast<unsigned long long>(stats.commandsRecorded),
                static_cast<unsigned long long>(stats.statesRecorded),
                static_cast<unsigned long long>(stats.commandsDropped),
                static_cast<unsigned long long>(stats.statesDropped));
  }
  return pair;
}

void printRow(const char* what, const Figures& without, const Figures& with) {
  std::printf("%-6s median %7.0f ns -> %7.0f ns (%+6.0f), p99 %7.0f ns -> %7.0f ns (%+6.0f)\n",
              what, without.p50, with.p50, with.p50 - without.p50, without.p99, with.p99,
              with.p99 - without.p99);
}

}  // namespace

// What escapes ends the program with a line, not with std::terminate.
int main(int argc, char** argv) try {
  const int calls = argc > 1 ? std::atoi(argv[1]) : 20000;
  if (calls < 100) {
    std::fprintf(stderr, "usage: %s [CALLS]  (at least 100)\n", argv[0]);
    return 2;
  }
  char path[] = "/tmp/recorder_bench_XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return 1;
  close(fd);

  std::printf("per call, without a recorder -> with one (%d calls each):\n", calls);
  const Pair without = measureLink(calls, "");
  const Pair with = measureLink(calls, path);
  printRow("Send", without.send, with.send);
  printRow("Recv", without.recv, with.recv);

  sdk::PacketRing ring(8192, sdk::LOW_STATE_LENGTH);
  const kalvent_test::Bytes state = kalvent_test::goodPacket(771, 7);
  sdk::PacketRing::Packet taken{};
  const Figures push = timeCalls(
      calls,
      [&] {
        if (ring.front(taken)) ring.pop();
      },
      [&] {
        ring.push(reinterpret_cast<const char*>(state.data()), sdk::LOW_STATE_LENGTH,
                  sdk::monotonicNanoseconds());
      });
  std::printf("ring copy of a state packet with its timestamp: median %.0f ns, p99 %.0f ns\n",
              push.p50, push.p99);

  struct stat file {};
  stat(path, &file);
  // A command and a state each millisecond; the link-health records are a
  // few per thousand.
  const double bytesPerPair = 2.0 * static_cast<double>(file.st_size) / with.recorded;
  std::printf("file: %lld bytes for %llu commands and states: %.1f MB per minute at 1 kHz\n",
              static_cast<long long>(file.st_size), static_cast<unsigned long long>(with.recorded),
              bytesPerPair * 60000 / 1e6);
  std::remove(path);
  return 0;
} catch (const std::exception& e) {
  std::fprintf(stderr, "recorder_bench: %s\n", e.what());
  return 1;
}
