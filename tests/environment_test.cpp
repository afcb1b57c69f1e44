#include <gtest/gtest.h>
#include <linux/capability.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kalvent_legged_sdk.h"
#include "test_support.h"

namespace sdk = KALVENT_LEGGED_SDK;
using kalvent_test::ChildResult;
using kalvent_test::runInChild;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kMlockallIsReal = false;  // the sanitizer runtimes make it a no-op that succeeds
#else
constexpr bool kMlockallIsReal = true;
#endif

std::string statusField(const std::string& name) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(name + ":", 0) == 0) return line.substr(name.size() + 1);
  }
  return "";
}

bool hasCapability(int cap) {
  return (std::stoull(statusField("CapEff"), nullptr, 16) >> cap) & 1;
}

// What the child wrote on stderr, printed on its stdout as it exits.
FILE* g_stderrCopy = nullptr;
void showStderrAtExit() {
  g_stderrCopy = std::tmpfile();
  dup2(fileno(g_stderrCopy), STDERR_FILENO);
  std::atexit([] {
    std::rewind(g_stderrCopy);
    std::printf("stderr:");
    for (int c; (c = std::fgetc(g_stderrCopy)) != EOF;) std::putchar(c);
  });
}

// Runs InitEnvironment and then TryInitEnvironment, each in a child with
// `resource` limited to 0 and without `cap`; a child ends silently where
// that cannot be arranged.
std::pair<ChildResult, ChildResult> setUpWithout(int resource, int cap) {
  auto without = [=](void (*setUp)()) {
    return runInChild([=] {
      __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
      __user_cap_data_struct data[2] = {};
      const rlimit none{0, 0};
      if (setrlimit(resource, &none) != 0 || syscall(SYS_capget, &header, data) != 0) return;
      data[cap / 32].effective &= ~(1u << (cap % 32));
      data[cap / 32].permitted &= ~(1u << (cap % 32));
      if (syscall(SYS_capset, &header, data) != 0 || hasCapability(cap)) return;
      showStderrAtExit();
      setUp();
      std::exit(0);
    });
  };
  return {without([] { sdk::InitEnvironment(); }), without([] {
            const sdk::RealtimeReport r = sdk::TryInitEnvironment();
            std::printf("locked %d fifo %d priority %d\nreason %s\n", r.memoryLocked,
                        r.fifoScheduling, r.priority, r.reason);
            // The steps alone: their errors, and nothing on standard error.
            for (const sdk::Result<void>& step : {sdk::lockMemory(), sdk::setFifoScheduling()}) {
              if (!step) {
                std::printf("step: %s %d %s\n", sdk::stepName(step.error().step),
                            step.error().errnoValue, step.error().message.c_str());
              }
            }
          })};
}

// The stderr line as the child showed it: "stderr:" and the text to its end.
std::string stderrLine(const ChildResult& r) {
  const size_t at = r.out.find("stderr:");
  return at == std::string::npos ? "" : r.out.substr(at + 7);
}

void expectNames(const std::string& text, const std::vector<std::string>& names) {
  for (const std::string& name : names) EXPECT_NE(text.find(name), std::string::npos) << text;
}

void printPolicy(const char* who, pthread_t thread) {
  int policy = -1;
  sched_param param{};
  pthread_getschedparam(thread, &policy, &param);
  std::printf("%s %s %d\n", who, policy == SCHED_FIFO ? "fifo" : "other", param.sched_priority);
}

TEST(InitEnvironment, MainThreadAndLaterLoopsRunFifo99) {
  if (!hasCapability(CAP_IPC_LOCK) || !hasCapability(CAP_SYS_NICE)) {
    GTEST_SKIP() << "needs CAP_IPC_LOCK and CAP_SYS_NICE to lock memory and select SCHED_FIFO";
  }
  const ChildResult r = runInChild([] {
    for (int round = 0; round < 2; ++round) {  // a second call does the same again
      sdk::InitEnvironment();
      printPolicy("main", pthread_self());
      std::printf("locked %d\n", !kMlockallIsReal || statusField("VmLck").find_first_of(
                                                         "123456789") != std::string::npos);
    }
    std::atomic<bool> seen{false};
    sdk::LoopFunc loop("rt", 0.01f, [&] {
      if (!seen) printPolicy("loop", pthread_self());
      seen = true;
    });
    loop.start();
    for (int i = 0; i < 5000 && !seen; ++i) usleep(1000);
    loop.shutdown();
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "main fifo 99\nlocked 1\nmain fifo 99\nlocked 1\n"
            "[Loop Start] named: rt, period: 9(ms), cpu unspecified\n"
            "loop fifo 99\n[Loop End] named: rt\n[Warning] Loop rt shutdown nothing.\n");
}

TEST(InitEnvironment, MemoryThatCannotBeLockedEndsTheProcess) {
  if (!kMlockallIsReal) GTEST_SKIP() << "the sanitizer runtime makes mlockall always succeed";
  const auto [init, report] = setUpWithout(RLIMIT_MEMLOCK, CAP_IPC_LOCK);
  if (init.out.empty() && init.status == 0) GTEST_SKIP() << "cannot take the right away";
  EXPECT_EQ(init.status, 254);
  const std::string line = stderrLine(init);
  EXPECT_EQ(init.out, "Error: Lock memory failed.\nstderr:" + line);
  expectNames(line, {"mlockall: ", "CAP_IPC_LOCK", "RLIMIT_MEMLOCK (now 0 bytes)", "ulimit -l",
                     "/etc/security/limits.conf"});
  // The set-up that reports goes on to the real-time class.
  const std::string fifo = hasCapability(CAP_SYS_NICE) ? "1 priority 99" : "0 priority 0";
  EXPECT_EQ(report.status, 0);
  const std::string reason = line.substr(0, line.find('\n'));
  EXPECT_EQ(report.out, "locked 0 fifo " + fifo + "\nreason " + reason + "\nstep: memory lock " +
                            std::to_string(EPERM) + " " + reason + "\nstderr:" + line);
}

TEST(InitEnvironment, RefusedRealTimeClassEndsTheProcess) {
  if (kMlockallIsReal && !hasCapability(CAP_IPC_LOCK)) {
    GTEST_SKIP() << "needs CAP_IPC_LOCK so that only the scheduling step fails";
  }
  const auto [init, report] = setUpWithout(RLIMIT_RTPRIO, CAP_SYS_NICE);
  if (init.out.empty() && init.status == 0) GTEST_SKIP() << "cannot take the right away";
  EXPECT_EQ(init.status, 254);
  const std::string line = stderrLine(init);
  EXPECT_EQ(init.out, "Error: Pthread set sched policy failed.\nstderr:" + line);
  expectNames(line, {"SCHED_FIFO priority 99: ", "CAP_SYS_NICE", "RLIMIT_RTPRIO >= 99 (now 0)",
                     "ulimit -r 99", "/etc/security/limits.conf"});
  EXPECT_EQ(report.status, 0);
  const std::string reason = line.substr(0, line.find('\n'));
  EXPECT_EQ(report.out, "locked 1 fifo 0 priority 0\nreason " + reason +
                            "\nstep: real-time scheduling " + std::to_string(EPERM) + " " + reason +
                            "\nstderr:" + line);
}

TEST(TryInitEnvironment, MakesTheCallingThreadFifoAtTheGivenPriority) {
  if (!hasCapability(CAP_IPC_LOCK) || !hasCapability(CAP_SYS_NICE)) {
    GTEST_SKIP() << "needs CAP_IPC_LOCK and CAP_SYS_NICE to lock memory and select SCHED_FIFO";
  }
  const ChildResult r = runInChild([] {
    std::thread([] {
      const sdk::RealtimeReport report = sdk::TryInitEnvironment(10);
      std::printf("locked %d fifo %d priority %d reason '%s'\n", report.memoryLocked,
                  report.fifoScheduling, report.priority, report.reason);
      printPolicy("caller", pthread_self());
    }).join();
    printPolicy("main", pthread_self());
  });
  EXPECT_EQ(r.out, "locked 1 fifo 1 priority 10 reason ''\ncaller fifo 10\nmain other 0\n");
}

}  // namespace
