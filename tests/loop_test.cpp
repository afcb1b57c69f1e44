#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <string>
#include <thread>

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

// Waits until `done` holds, for five seconds at most.
template <typename Predicate>
void waitFor(Predicate done) {
  for (int i = 0; i < 5000 && !done(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// The intervals of this process's open timerfds, as the kernel reports them.
std::string timerIntervals() {
  std::string found;
  for (int fd = 0; fd < 64; ++fd) {
    std::ifstream info("/proc/self/fdinfo/" + std::to_string(fd));
    for (std::string line; std::getline(info, line);) {
      if (line.rfind("it_interval: ", 0) == 0) found += line.substr(13);
    }
  }
  return found;
}

void called() {
  std::printf("called\n");
}

void idle() {}

std::string startLine(const std::string& name, const std::string& ms) {
  return "[Loop Start] named: " + name + ", period: " + ms + "(ms), cpu unspecified\n";
}

TEST(Loop, PeriodIsShownAndSplitToTheDigitOrRefused) {
  const ChildResult r = runInChild([] {
    for (float period : {0.002f, 0.005f, 0.01f, 1.5f}) {
      std::atomic<bool> seen{false};
      std::string interval;
      sdk::LoopFunc loop("p", period, [&] {
        if (!seen) interval = timerIntervals();
        seen = true;
      });
      loop.start();
      waitFor([&] { return seen.load(); });
      loop.shutdown();
      std::printf("interval %s, left %s\n", interval.c_str(), timerIntervals().c_str());
    }
    for (float period : {0.0f, -0.01f, 1e-10f, std::numeric_limits<float>::quiet_NaN()}) {
      sdk::LoopFunc loop("z", period, called);
      loop.start();  // refused: the loop stays idle
    }
  });
  std::string expected;
  const char* const split[][2] = {{"2", "(0, 2000000)"},
                                  {"4", "(0, 4999999)"},
                                  {"9", "(0, 9999999)"},
                                  {"1500", "(1, 500000000)"}};
  for (const auto& c : split) {
    expected += startLine("p", c[0]) + "[Loop End] named: p\ninterval " + c[1] +
                ", left \n[Warning] Loop p shutdown nothing.\n";
  }
  for (const char* shown : {"0", "-0.01", "1e-10", "nan"}) {
    expected += std::string("[Error] Loop z period ") + shown +
                "(s) is invalid.\n[Warning] Loop z shutdown nothing.\n";
  }
  EXPECT_EQ(r.out, expected);
}

// Sleeps through each call and notices when a copy of it is destroyed mid-call.
struct Probe {
  std::atomic<int>* state;  // 1 in a call, 2 once released during one
  void operator()() const {
    *state = 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    if (*state == 1) *state = 0;
  }
  ~Probe() {
    if (*state == 1) *state = 2;
  }
};

TEST(Loop, MisuseAndDestructionAreReported) {
  const ChildResult r = runInChild([] {
    std::atomic<int> state{0};
    {
      sdk::LoopFunc a("a", 0.01f, Probe{&state});
      a.shutdown();
      a.start();
      a.start();
      a.shutdown();
      a.shutdown();
      a.start();  // a stopped loop starts again
      waitFor([&] { return state.load() == 1; });
    }  // destroyed running, mid-call: the call ends before the callback goes
    std::printf("state %d\n", state.load());
    sdk::LoopFunc b("b", 0.01f, called);
  });
  EXPECT_EQ(r.out, "[Warning] Loop a shutdown nothing.\n" + startLine("a", "9") +
                       "[Error] Loop a is already running.\n[Loop End] named: a\n"
                       "[Warning] Loop a shutdown nothing.\n" +
                       startLine("a", "9") +
                       "[Loop End] named: a\nstate 0\n[Warning] Loop b shutdown nothing.\n");
}

TEST(Loop, OfSeveralThreadsStartingAtOnceExactlyOneStartsTheLoop) {
  const int kRounds = 300, kThreads = 4;
  const ChildResult r = runInChild([&] {
    sdk::LoopFunc loop("race", 0.001f, idle);
    for (int round = 0; round < kRounds; ++round) {
      std::atomic<int> ready{0};
      std::thread starters[kThreads];
      for (auto& t : starters) {
        t = std::thread([&] {
          ++ready;
          while (ready < kThreads) std::this_thread::yield();
          loop.start();
        });
      }
      for (auto& t : starters) t.join();
      loop.shutdown();
    }
  });
  auto count = [&](const std::string& line) {
    int n = 0;
    for (size_t at = r.out.find(line); at != std::string::npos; at = r.out.find(line, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(count("[Loop Start] named: race"), kRounds);
  EXPECT_EQ(count("[Error] Loop race is already running.\n"), kRounds * (kThreads - 1));
  EXPECT_EQ(count("[Loop End] named: race\n"), kRounds);
}

TEST(Loop, ShutdownBeforeTheFirstFlagTestMakesNoCall) {
  if (kSanitized) GTEST_SKIP() << "the sanitizer's pthread_create runs the new thread at once";
  // On one CPU under SCHED_FIFO the new thread (same priority) waits until
  // the controlling thread blocks in shutdown's join.
  const ChildResult r = runInChild([] {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    const sched_param fifo{1};
    if (sched_setaffinity(0, sizeof one, &one) != 0 ||
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &fifo) != 0) {
      std::printf("no fifo\n");
      return;
    }
    sdk::LoopFunc loop("early", 0.01f, called);
    loop.start();
    loop.shutdown();
  });
  if (r.out == "no fifo\n") GTEST_SKIP() << "SCHED_FIFO is not permitted here";
  EXPECT_EQ(r.out, startLine("early", "9") +
                       "[Loop End] named: early\n[Warning] Loop early shutdown nothing.\n");
}

TEST(Loop, CallsStayOnTheGridAndFallBackOntoItAfterAnOverrun) {
  // Period 100 ms; the third call takes 250 ms. Expected starts: 0, 100, 200,
  // 450 (at once), then 500, 600, ... with no call for the periods missed.
  const ChildResult r = runInChild([] {
    using Clock = std::chrono::steady_clock;
    const auto t0 = Clock::now();
    auto now = [&] { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); };
    double t[12], overrunEnd = 0;
    std::atomic<int> calls{0};
    sdk::LoopFunc loop("grid", 0.1f, [&] {
      const int n = calls;
      if (n >= 12) return;
      t[n] = now();
      if (n == 2) std::this_thread::sleep_for(std::chrono::milliseconds(250));
      if (n == 2) overrunEnd = now();
      calls = n + 1;
    });
    loop.start();
    waitFor([&] { return calls.load() == 12; });
    loop.shutdown();
    // Lateness against the grid: noise delays single calls, while a loop that
    // sleeps a period after the overrun is 50 ms late from then on.
    double lowest = 1e9, highest = -1e9, leastAfter = 1e9;
    for (int k = 1; k < 12; ++k) {
      const double late = t[k] - t[0] - 100.0 * (k < 3 ? k : k + 1);
      if (k == 3) continue;
      lowest = std::min(lowest, late);
      highest = std::max(highest, late);
      if (k > 3) leastAfter = std::min(leastAfter, late);
    }
    std::printf("timing %.1f %.1f %.1f %.1f\n", t[3] - overrunEnd, lowest, highest, leastAfter);
  });
  double atOnce = 1e9, lowest = -1e9, highest = 1e9, leastAfter = 1e9;
  std::sscanf(r.out.substr(r.out.find("timing")).c_str(), "timing %lf %lf %lf %lf", &atOnce,
              &lowest, &highest, &leastAfter);
  EXPECT_LT(atOnce, 25.0) << r.out;
  EXPECT_GT(lowest, -20.0) << r.out;  // no extra call
  EXPECT_LT(highest, 90.0) << r.out;  // no period skipped
  EXPECT_LT(leastAfter, 25.0) << r.out;
}

// A call that sleeps three periods makes the next start two periods late: an
// overrun. The counts and the reported error last until the next start().
TEST(Loop, StatusCountsCallsAndOverrunsAndKeepsTheReportedError) {
  std::atomic<int> calls{0};
  sdk::LoopFunc loop("status", 0.01f, [&] {
    if (++calls == 2) std::this_thread::sleep_for(std::chrono::milliseconds(30));
  });
  EXPECT_FALSE(loop.status().running);
  loop.start();
  waitFor([&] { return loop.status().iterations >= 5; });
  EXPECT_TRUE(loop.status().running);
  loop.reportError("first");
  loop.reportError("second");
  loop.shutdown();
  const sdk::LoopStatus stopped = loop.status();
  EXPECT_FALSE(stopped.running);
  EXPECT_EQ(stopped.iterations, static_cast<uint64_t>(calls.load()));
  EXPECT_GE(stopped.overruns, 1u);
  EXPECT_LT(stopped.overruns, stopped.iterations);
  EXPECT_EQ(stopped.error, "first");
  loop.start();
  loop.shutdown();
  EXPECT_EQ(loop.status().error, "");
  EXPECT_LT(loop.status().iterations, stopped.iterations);
}

TEST(Loop, AffinityIsExactlyTheCpuOrTheProcessEnds) {
  const std::string ran = "[Loop End] named: c\nonly cpu 1: ";
  const std::string failed = " \nError: Set affinity failed.\n";
  const struct {
    int cpu, status;
    std::string out;
  } cases[] = {{0, 0, "cpu unspecified\n" + ran + "0\n"},
               {1, 0, "run at cpu: 1 \n" + ran + "1\n"},
               {1023, 254, "run at cpu: 1023" + failed},  // a CPU no machine here has
               {1024, 254, "run at cpu: 1024" + failed}};
  cpu_set_t mine;
  ASSERT_EQ(sched_getaffinity(0, sizeof mine, &mine), 0);
  for (const auto& c : cases) {
    if (c.cpu == 1 && !CPU_ISSET(1, &mine)) continue;  // one CPU: nothing to pin to
    const ChildResult r = runInChild([&] {
      std::atomic<bool> started{false};
      std::atomic<int> onlyOne{-1};
      sdk::LoopFunc loop("c", 0.01f, c.cpu, [&] {
        if (!started || onlyOne >= 0) return;
        cpu_set_t cpus;
        CPU_ZERO(&cpus);
        pthread_getaffinity_np(pthread_self(), sizeof cpus, &cpus);
        onlyOne = CPU_COUNT(&cpus) == 1 && CPU_ISSET(1, &cpus);
      });
      loop.start();  // the affinity is set when start returns
      started = true;
      waitFor([&] { return onlyOne.load() >= 0; });
      loop.shutdown();
      std::printf("only cpu 1: %d\n", onlyOne.load());
      std::exit(0);
    });
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, "[Loop Start] named: c, period: 9(ms), " + c.out);
  }
}

// tryStart prints what start prints and returns, as a value, what start ends
// the process for or only prints; a loop it could not pin is stopped.
TEST(Loop, TryStartReturnsTheFailedStep) {
  const ChildResult r = runInChild([] {
    const auto show = [](const char* what, const sdk::Result<void>& started) {
      std::printf("%s: %s %d\n", what, started ? "started" : sdk::stepName(started.error().step),
                  started ? 0 : started.error().errnoValue);
    };
    sdk::LoopFunc unpinnable("c", 0.01f, 1024, idle);
    show("cpu 1024", unpinnable.tryStart());
    sdk::LoopFunc zero("z", 0.0f, idle);
    show("period 0", zero.tryStart());
    sdk::LoopFunc running("r", 0.01f, idle);
    show("first", running.tryStart());
    show("second", running.tryStart());
  });
  EXPECT_TRUE(r.exited && r.status == 0);
  EXPECT_EQ(r.out,
            "[Loop Start] named: c, period: 9(ms), run at cpu: 1024 \n"
            "[Loop End] named: c\ncpu 1024: cpu affinity 22\n"
            "[Error] Loop z period 0(s) is invalid.\nperiod 0: loop period 0\n" +
                startLine("r", "9") +
                "first: started 0\n[Error] Loop r is already running.\n"
                "second: loop running 0\n[Loop End] named: r\n"
                "[Warning] Loop z shutdown nothing.\n"
                "[Warning] Loop c shutdown nothing.\n");
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
  EXPECT_EQ(r.signal, SIGABRT);
  EXPECT_NE(r.out.find("call to empty boost::function"), std::string::npos) << r.out;
}

TEST(Loop, TimerThatCannotBeCreatedEndsTheLoopThread) {
  if (kSanitized) GTEST_SKIP() << "the sanitizer runtime needs file descriptors of its own";
  const ChildResult r = runInChild([] {
    const rlimit few{64, 64};
    setrlimit(RLIMIT_NOFILE, &few);
    while (dup(STDIN_FILENO) >= 0) {
    }
    sdk::LoopFunc loop("t", 0.01f, called);
    loop.start();
    loop.shutdown();  // joins a thread that ends on its own
  });
  EXPECT_EQ(r.out, startLine("t", "9") +
                       "[Error] Loop t cannot arm its timer.\n[Loop End] named: t\n"
                       "[Warning] Loop t shutdown nothing.\n");
}

}  // namespace
