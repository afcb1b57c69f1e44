// Wake-up lateness of a LoopFunc against its ideal period grid, beside a
// bare timerfd thread (the kernel timer alone) and cyclictest, at 1 ms and
// 2 ms, first with default scheduling and then after InitEnvironment
// (mlockall + SCHED_FIFO 99).
//
// usage: loop_bench [SECONDS]   seconds per measurement, default 10
//
// The LoopFunc and the bare thread run in turns of SECONDS/10 so that both
// see the same machine load. Lateness is measured against the grid of the
// first call, which comes right after the timer is armed in both. A plain program rather than a
// Google Benchmark: it reports distributions, not rates.
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_main.h"
#include "kalvent_legged_sdk.h"
#include "percentile.h"

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

const int kTurns = 10;

using sdk::Distribution;
using sdk::monotonicNanoseconds;

// Lateness of each wake-up after the first, in ns, into preallocated storage.
//
// Each wake-up answers the first expiry its read had not yet consumed; a
// read made after one or more expiries consumes all of them at once (the
// loop skips missed periods). The read follows wake() at once, so the time
// at the end of wake() tells which expiries it will find: one late wake-up
// thus does not shift the later samples by a period.
class Recorder {
 public:
  Recorder(int64_t periodNs, size_t capacity) : periodNs_(periodNs) { samples_.reserve(capacity); }

  void beginTurn() { first_ = true; }
  void wake() {
    const int64_t now = monotonicNanoseconds();
    if (first_) {
      first_ = false;
      start_ = now;
      consumed_ = -1;
    } else {
      int64_t late = now - (start_ + (consumed_ + 1) * periodNs_);
      // No wake-up comes before its expiry: this one answered an expiry that
      // was due by the end of the last call but not yet counted by the
      // kernel's timer interrupt when the read began.
      while (late < -periodNs_ / 2) {
        late += periodNs_;
        --consumed_;
      }
      if (samples_.size() < samples_.capacity()) samples_.push_back(late);
    }
    consumed_ = std::max(consumed_ + 1, (monotonicNanoseconds() - start_) / periodNs_);
  }
  std::vector<int64_t>& samples() { return samples_; }

 private:
  int64_t periodNs_;
  std::vector<int64_t> samples_;
  bool first_ = true;
  int64_t start_ = 0;     // the first call, right after the timer was armed
  int64_t consumed_ = 0;  // expiries the next read will have consumed
};

// Lateness samples in ns, summed up in µs.
Distribution inMicroseconds(const std::vector<int64_t>& ns) {
  std::vector<double> us(ns.size());
  std::transform(ns.begin(), ns.end(), us.begin(),
                 [](int64_t sample) { return static_cast<double>(sample) / 1e3; });
  return sdk::summarize(std::move(us));
}

void printRow(const char* what, const Distribution& s) {
  std::printf("  %-28s %8zu %9.1f %9.1f %9.1f %9.1f\n", what, s.count, s.min, s.p50, s.p99, s.max);
}

void sleepSeconds(double seconds) {
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

void runLoopFunc(Recorder& rec, float period, double seconds) {
  rec.beginTurn();
  sdk::LoopFunc loop("bench", period, [&rec] { rec.wake(); });
  const sdk::Result<void> started = loop.tryStart();
  if (!started) throw std::runtime_error(started.error().message);
  sleepSeconds(seconds);
  loop.shutdown();
}

// The same wake-ups without the library: a plain thread on a timerfd.
void runBareTimer(Recorder& rec, int64_t periodNs, double seconds) {
  rec.beginTurn();
  std::atomic<bool> running{true};
  std::thread thread([&] {
    const int fd = timerfd_create(CLOCK_MONOTONIC, 0);
    itimerspec interval{};
    interval.it_interval = sdk::timespecOf(periodNs);
    interval.it_value = interval.it_interval;
    timerfd_settime(fd, 0, &interval, nullptr);
    while (running) {
      rec.wake();
      uint64_t expirations;
      if (read(fd, &expirations, sizeof expirations) < 0) break;
    }
    close(fd);
  });
  sleepSeconds(seconds);
  running = false;
  thread.join();
}

// Runs cyclictest for the same interval and reads its histogram.
bool runCyclictest(int periodUs, double seconds, bool realtime, Distribution* out) {
  char command[256];
  std::snprintf(command, sizeof command,
                "cyclictest --laptop -q -t1 -i %d -D %d -h 20000 %s 2>/dev/null", periodUs,
                static_cast<int>(seconds + 0.5),
                realtime ? "-m --policy=fifo -p 99" : "--policy=other");
  FILE* pipe = popen(command, "r");
  if (pipe == nullptr) return false;
  std::vector<std::pair<int, long>> histogram;
  long total = 0, overflows = 0;
  int minUs = -1, maxUs = -1;
  char line[256];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    int us;
    long count;
    if (std::sscanf(line, "%d %ld", &us, &count) == 2 && line[0] != '#') {
      if (count > 0) histogram.emplace_back(us, count);
      total += count;
    } else if (std::sscanf(line, "# Min Latencies: %d", &us) == 1) {
      minUs = us;
    } else if (std::sscanf(line, "# Max Latencies: %d", &us) == 1) {
      maxUs = us;
    } else if (std::sscanf(line, "# Histogram Overflows: %ld", &count) == 1) {
      overflows = count;
    }
  }
  if (pclose(pipe) != 0 || total == 0) return false;
  const auto quantile = [&](double q) {
    const long target = static_cast<long>(q * static_cast<double>(total + overflows));
    long seen = 0;
    for (const auto& bucket : histogram) {
      seen += bucket.second;
      if (seen > target) return static_cast<double>(bucket.first);
    }
    return static_cast<double>(maxUs);
  };
  out->count = static_cast<size_t>(total + overflows);
  out->min = minUs;
  out->p50 = quantile(0.5);
  out->p99 = quantile(0.99);
  out->max = maxUs;
  return true;
}

void measure(const char* setting, double seconds, bool realtime) {
  for (int periodMs : {1, 2}) {
    const int64_t periodNs = periodMs * 1000000LL;
    const float period = periodMs / 1000.0f;
    const size_t capacity = static_cast<size_t>(seconds * 1000 / periodMs) + 1000;
    Recorder library(periodNs, capacity);
    Recorder bare(periodNs, capacity);
    for (int turn = 0; turn < kTurns; ++turn) {
      runLoopFunc(library, period, seconds / kTurns);
      runBareTimer(bare, periodNs, seconds / kTurns);
    }
    std::printf("\n%d ms period, %s, %g s each (lateness in us)\n", periodMs, setting, seconds);
    std::printf("  %-28s %8s %9s %9s %9s %9s\n", "", "wakeups", "min", "median", "p99", "max");
    const Distribution lib = inMicroseconds(library.samples());
    const Distribution raw = inMicroseconds(bare.samples());
    printRow("LoopFunc", lib);
    printRow("bare timerfd thread", raw);
    Distribution cyc;
    if (runCyclictest(periodMs * 1000, seconds, realtime, &cyc)) {
      printRow("cyclictest --laptop", cyc);
    } else {
      std::printf("  cyclictest: not installed or failed\n");
    }
    std::printf("  LoopFunc / bare: median %.2fx, p99 %.2fx\n", lib.p50 / raw.p50,
                lib.p99 / raw.p99);
    std::fflush(stdout);
  }
}

// Default scheduling, then real-time where allowed.
void measureBothSchedulings(double seconds) {
  measure("default scheduling", seconds, false);
  const sdk::RealtimeReport realtime = sdk::TryInitEnvironment();
  if (!realtime.memoryLocked || !realtime.fifoScheduling) {
    std::printf("\nInitEnvironment is not permitted here (%s): no real-time figures.\n",
                realtime.reason);
    return;
  }
  measure("after InitEnvironment (mlockall, SCHED_FIFO 99)", seconds, true);
}

}  // namespace

// What escapes ends the program with a line, not with std::terminate.
int main(int argc, char** argv) try {
  // The LoopFuncs' start and end lines, which LoopFunc always prints, come
  // between the tables on standard output.
  return kalvent_bench::benchMain(argc, argv, "loop_bench", "seconds per measurement", 10.0,
                                  measureBothSchedulings);
} catch (const std::exception& e) {
  std::fprintf(stderr, "loop_bench: %s\n", e.what());
  return 1;
}
