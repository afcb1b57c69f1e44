#include <dirent.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "kalvent_legged_sdk.h"
#include "test_support.h"

namespace sdk = KALVENT_LEGGED_SDK;
using kalvent_test::ChildResult;
using kalvent_test::runInChild;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t0, Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(t - t0).count();
}

// Waits (bounded) until `done` holds.
template <typename Predicate>
bool waitFor(Predicate done, int timeoutMs = 5000) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The intervals of this process's open timerfds, as the kernel reports
// them: "(seconds, nanoseconds)".
std::vector<std::string> openTimerIntervals() {
  std::vector<std::string> intervals;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return intervals;
  while (dirent* entry = readdir(dir)) {
    const std::string fd = entry->d_name;
    char target[64] = {};
    if (readlink(("/proc/self/fd/" + fd).c_str(), target, sizeof target - 1) < 0) continue;
    if (std::string(target) != "anon_inode:[timerfd]") continue;
    std::ifstream info("/proc/self/fdinfo/" + fd);
    for (std::string line; std::getline(info, line);) {
      if (line.rfind("it_interval: ", 0) == 0) intervals.push_back(line.substr(13));
    }
  }
  closedir(dir);
  return intervals;
}

void noop() {}

std::string startLine(const std::string& name, const std::string& ms) {
  return "[Loop Start] named: " + name + ", period: " + ms + "(ms), cpu unspecified\n";
}

TEST(Loop, StartLineAndTimerFollowThePeriodToTheDigit) {
  struct {
    float period;
    const char* ms;
    const char* interval;
  } const cases[] = {{0.002f, "2", "(0, 2000000)"},
                     {0.005f, "4", "(0, 4999999)"},
                     {0.01f, "9", "(0, 9999999)"},
                     {1.5f, "1500", "(1, 500000000)"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ms);
    const ChildResult r = runInChild([&] {
      std::atomic<bool> seen{false};
      std::vector<std::string> intervals;
      {
        sdk::LoopFunc loop("p", c.period, [&] {
          if (seen) return;
          intervals = openTimerIntervals();
          seen = true;
        });
        loop.start();
        waitFor([&] { return seen.load(); });
        loop.shutdown();
        for (const auto& i : intervals) std::printf("interval %s\n", i.c_str());
        std::printf("timers left %zu\n", openTimerIntervals().size());
      }
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, startLine("p", c.ms) + "[Loop End] named: p\ninterval " + c.interval +
                         "\ntimers left 0\n[Warning] Loop p shutdown nothing.\n");
  }
}

TEST(Loop, MisuseIsReportedAndChangesNothing) {
  const ChildResult r = runInChild([] {
    {
      sdk::LoopFunc a("a", 0.01f, noop);
      a.shutdown();
      a.start();
      a.start();
      a.shutdown();
      a.shutdown();
      a.start();                            // a stopped loop starts again
    }                                       // destroyed running: only the thread's end line
    { sdk::LoopFunc b("b", 0.01f, noop); }  // destroyed idle: one warning
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "[Warning] Loop a shutdown nothing.\n" + startLine("a", "9") +
                       "[Error] Loop a is already running.\n"
                       "[Loop End] named: a\n"
                       "[Warning] Loop a shutdown nothing.\n" +
                       startLine("a", "9") +
                       "[Loop End] named: a\n"
                       "[Warning] Loop b shutdown nothing.\n");
}

TEST(Loop, PeriodsTheTimerCannotRunAreRefused) {
  const ChildResult r = runInChild([] {
    for (float period : {0.0f, -0.01f, 1e-10f, std::numeric_limits<float>::quiet_NaN()}) {
      sdk::LoopFunc loop("z", period, noop);
      loop.start();
      loop.shutdown();
      std::printf("--\n");
    }
  });
  EXPECT_EQ(r.status, 0);
  std::string expected;
  for (const char* shown : {"0", "-0.01", "1e-10", "nan"}) {
    expected += std::string("[Error] Loop z period ") + shown +
                "(s) is invalid.\n"
                "[Warning] Loop z shutdown nothing.\n--\n"
                "[Warning] Loop z shutdown nothing.\n";
  }
  EXPECT_EQ(r.out, expected);
}

// Counts the calls of one probe and notices when a copy of it is destroyed
// while a call is in progress.
struct ProbeState {
  std::atomic<int> inCall{0};
  std::atomic<int> calls{0};
  std::atomic<bool> destroyedDuringCall{false};
};

struct Probe {
  ProbeState* state;
  void operator()() const {
    state->inCall = 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ++state->calls;
    state->inCall = 0;
  }
  ~Probe() {
    if (state->inCall) state->destroyedDuringCall = true;
  }
};

TEST(Loop, DestroyingARunningLoopFinishesTheCallBeforeReleasingIt) {
  const ChildResult r = runInChild([] {
    ProbeState state;
    {
      sdk::LoopFunc loop("d", 0.005f, Probe{&state});
      loop.start();
      waitFor([&] { return state.inCall.load() == 1; });
    }
    std::printf("calls %d, in call %d, destroyed during call %d\n", state.calls.load(),
                state.inCall.load(), state.destroyedDuringCall.load());
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, startLine("d", "4") +
                       "[Loop End] named: d\n"
                       "calls 1, in call 0, destroyed during call 0\n");
}

TEST(Loop, ShutdownBeforeTheFirstFlagTestMakesNoCall) {
  if (kSanitized) {
    GTEST_SKIP() << "the sanitizer's pthread_create lets the new thread run before it returns";
  }
  // On one CPU under SCHED_FIFO the new thread (same priority) waits until
  // the controlling thread blocks in shutdown's join.
  const ChildResult r = runInChild([] {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    sched_param fifo{};
    fifo.sched_priority = 1;
    if (sched_setaffinity(0, sizeof one, &one) != 0 ||
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &fifo) != 0) {
      std::printf("no fifo\n");
      std::exit(0);
    }
    std::atomic<int> calls{0};
    {
      sdk::LoopFunc loop("early", 0.01f, [&] { ++calls; });
      loop.start();
      loop.shutdown();
      std::printf("calls %d\n", calls.load());
    }
  });
  if (r.out == "no fifo\n") GTEST_SKIP() << "SCHED_FIFO is not permitted here";
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, startLine("early", "9") +
                       "[Loop End] named: early\ncalls 0\n"
                       "[Warning] Loop early shutdown nothing.\n");
}

TEST(Loop, CallsPerSecondFollowThePeriod) {
  const ChildResult r = runInChild([] {
    std::atomic<int> calls{0};
    sdk::LoopFunc loop("rate", 0.01f, [&] { ++calls; });
    const auto t0 = Clock::now();
    loop.start();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const int counted = calls;
    const double seconds = msSince(t0, Clock::now()) / 1000;
    loop.shutdown();
    std::printf("rate %f\n", counted / seconds);
  });
  EXPECT_EQ(r.status, 0);
  const auto at = r.out.find("rate ");
  ASSERT_NE(at, std::string::npos) << r.out;
  const double rate = std::stod(r.out.substr(at + 5));
  EXPECT_GT(rate, 70.0);
  EXPECT_LT(rate, 130.0);
}

TEST(Loop, OverrunIsFollowedAtOnceThenTheGridResumes) {
  // Period 100 ms; the third call takes 250 ms. Expected starts: 0, 100,
  // 200, then 450 (at once), 500 and 600 on the grid, with no call for the
  // periods missed.
  const ChildResult r = runInChild([] {
    Clock::time_point starts[6];
    Clock::time_point overrunEnd;
    std::atomic<int> calls{0};
    {
      sdk::LoopFunc loop("slow", 0.1f, [&] {
        const int n = calls;
        if (n >= 6) return;
        starts[n] = Clock::now();
        if (n == 2) {
          std::this_thread::sleep_for(std::chrono::milliseconds(250));
          overrunEnd = Clock::now();
        }
        calls = n + 1;
      });
      loop.start();
      waitFor([&] { return calls.load() == 6; });
      loop.shutdown();
    }
    std::printf("overrun end %.1f;", msSince(starts[0], overrunEnd));
    for (const auto& t : starts) std::printf(" %.1f", msSince(starts[0], t));
    std::printf("\n");
  });
  EXPECT_EQ(r.status, 0);
  const auto at = r.out.find("overrun end ");
  ASSERT_NE(at, std::string::npos) << r.out;
  double end2, t[6];
  ASSERT_EQ(std::sscanf(r.out.c_str() + at, "overrun end %lf; %lf %lf %lf %lf %lf %lf", &end2,
                        &t[0], &t[1], &t[2], &t[3], &t[4], &t[5]),
            7)
      << r.out;
  SCOPED_TRACE(r.out);
  EXPECT_LT(t[3] - end2, 25.0);  // immediately after the overrun
  EXPECT_GT(t[4] - t[3], 20.0);  // waits for the grid: no extra call
  EXPECT_GT(t[4], 480.0);
  EXPECT_LT(t[4], 580.0);
  EXPECT_GT(t[5], 580.0);
  EXPECT_LT(t[5], 680.0);
}

bool cpuAllowed(int cpu) {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  return sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_ISSET(cpu, &allowed);
}

TEST(Loop, PinnedLoopRunsOnExactlyItsCpu) {
  if (!cpuAllowed(1)) GTEST_SKIP() << "CPU 1 is not available to this process";
  const ChildResult r = runInChild([] {
    std::atomic<bool> pinned{false};
    std::atomic<int> report{-1};
    sdk::LoopFunc loop("pin", 0.01f, 1, [&] {
      if (!pinned || report >= 0) return;
      cpu_set_t cpus;
      CPU_ZERO(&cpus);
      pthread_getaffinity_np(pthread_self(), sizeof cpus, &cpus);
      report = CPU_COUNT(&cpus) == 1 && CPU_ISSET(1, &cpus) ? 1 : 0;
    });
    loop.start();  // the affinity is set when start returns
    pinned = true;
    waitFor([&] { return report.load() >= 0; });
    loop.shutdown();
    std::printf("only cpu 1: %d\n", report.load());
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "[Loop Start] named: pin, period: 9(ms), run at cpu: 1 \n"
            "[Loop End] named: pin\nonly cpu 1: 1\n[Warning] Loop pin shutdown nothing.\n");
}

TEST(Loop, CpuThatCannotBeHadEndsTheProcess) {
  int missing = 1023;
  while (missing > 0 && cpuAllowed(missing)) --missing;
  ASSERT_GT(missing, 0);
  for (int cpu : {missing, 1024, 5000}) {
    SCOPED_TRACE(cpu);
    const ChildResult r = runInChild([cpu] {
      sdk::LoopFunc loop("c", 0.01f, cpu, noop);
      loop.start();
      std::printf("started\n");
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(r.out, "[Loop Start] named: c, period: 9(ms), run at cpu: " + std::to_string(cpu) +
                         " \nError: Set affinity failed.\n");
  }
}

TEST(Loop, EmptyCallbackEndsTheProcessThroughTheUncaughtError) {
  const ChildResult r = runInChild([] {
    dup2(STDOUT_FILENO, STDERR_FILENO);
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    sdk::LoopFunc loop("empty", 0.01f, sdk::Callback());
    loop.start();
    std::this_thread::sleep_for(std::chrono::seconds(10));
  });
  EXPECT_FALSE(r.exited);
  EXPECT_EQ(r.signal, SIGABRT);
  EXPECT_NE(r.out.find("call to empty boost::function"), std::string::npos) << r.out;
}

TEST(Loop, TimerThatCannotBeCreatedEndsTheLoopThread) {
  if (kSanitized) {
    GTEST_SKIP() << "the sanitizer runtime needs file descriptors of its own to run the child";
  }
  const ChildResult r = runInChild([] {
    // Use up every descriptor the process may have.
    const rlimit few{64, 64};
    setrlimit(RLIMIT_NOFILE, &few);
    while (dup(STDIN_FILENO) >= 0) {
    }
    std::atomic<int> calls{0};
    {
      sdk::LoopFunc loop("t", 0.01f, [&] { ++calls; });
      loop.start();
      loop.shutdown();  // joins a thread that ends on its own
    }
    std::printf("calls %d\n", calls.load());
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, startLine("t", "9") +
                       "[Error] Loop t cannot arm its timer.\n"
                       "[Loop End] named: t\n"
                       "[Warning] Loop t shutdown nothing.\n"
                       "calls 0\n");
}

}  // namespace
