#include <gtest/gtest.h>
#include <linux/capability.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "kalvent_legged_sdk.h"
#include "test_support.h"

namespace sdk = KALVENT_LEGGED_SDK;
using kalvent_test::ChildResult;
using kalvent_test::runInChild;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizer runtimes replace mlockall with a no-op that succeeds.
constexpr bool kMlockallIsReal = false;
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
  const unsigned long long effective = std::stoull(statusField("CapEff"), nullptr, 16);
  return (effective >> cap) & 1;
}

// Removes `cap` from this process's effective and permitted sets.
bool dropCapability(int cap) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  data[cap / 32].effective &= ~(1u << (cap % 32));
  data[cap / 32].permitted &= ~(1u << (cap % 32));
  return syscall(SYS_capset, &header, data) == 0;
}

bool setLimit(int resource, rlim_t value) {
  const rlimit limit{value, value};
  return setrlimit(resource, &limit) == 0;
}

std::string policyOf(pthread_t thread) {
  int policy = -1;
  sched_param param{};
  pthread_getschedparam(thread, &policy, &param);
  return (policy == SCHED_FIFO ? "fifo " : "other ") + std::to_string(param.sched_priority);
}

TEST(InitEnvironment, MainThreadAndLaterLoopsRunFifo99) {
  if (!hasCapability(CAP_IPC_LOCK) || !hasCapability(CAP_SYS_NICE)) {
    GTEST_SKIP() << "needs CAP_IPC_LOCK and CAP_SYS_NICE to lock memory and select SCHED_FIFO";
  }
  const ChildResult r = runInChild([] {
    sdk::InitEnvironment();
    std::printf("main %s\n", policyOf(pthread_self()).c_str());
    const bool locked = statusField("VmLck").find_first_of("123456789") != std::string::npos;
    std::printf("locked %d\n", locked || !kMlockallIsReal);

    std::atomic<bool> seen{false};
    std::string loopPolicy;
    {
      sdk::LoopFunc loop("rt", 0.01f, [&] {
        if (seen) return;
        loopPolicy = policyOf(pthread_self());
        seen = true;
      });
      loop.start();
      for (int i = 0; i < 5000 && !seen; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      loop.shutdown();
    }
    std::printf("loop %s\n", loopPolicy.c_str());
    sdk::InitEnvironment();  // a second call does the same again
    std::printf("main %s\n", policyOf(pthread_self()).c_str());
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "main fifo 99\nlocked 1\n"
            "[Loop Start] named: rt, period: 9(ms), cpu unspecified\n"
            "[Loop End] named: rt\n"
            "[Warning] Loop rt shutdown nothing.\n"
            "loop fifo 99\nmain fifo 99\n");
}

TEST(InitEnvironment, MemoryThatCannotBeLockedEndsTheProcess) {
  if (!kMlockallIsReal) GTEST_SKIP() << "the sanitizer runtime makes mlockall always succeed";
  const ChildResult r = runInChild([] {
    if (!setLimit(RLIMIT_MEMLOCK, 0) ||
        (hasCapability(CAP_IPC_LOCK) && !dropCapability(CAP_IPC_LOCK))) {
      std::printf("cannot drop\n");
      return;
    }
    sdk::InitEnvironment();
    std::printf("returned\n");
  });
  if (r.out == "cannot drop\n") GTEST_SKIP() << "cannot take the right to lock memory away";
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.out, "Error: Lock memory failed.\n");
}

TEST(InitEnvironment, RefusedRealTimeClassEndsTheProcess) {
  if (kMlockallIsReal && !hasCapability(CAP_IPC_LOCK)) {
    GTEST_SKIP() << "needs CAP_IPC_LOCK so that only the scheduling step fails";
  }
  const ChildResult r = runInChild([] {
    if (!setLimit(RLIMIT_RTPRIO, 0) ||
        (hasCapability(CAP_SYS_NICE) && !dropCapability(CAP_SYS_NICE))) {
      std::printf("cannot drop\n");
      return;
    }
    sdk::InitEnvironment();
    std::printf("returned\n");
  });
  if (r.out == "cannot drop\n") GTEST_SKIP() << "cannot take the right to SCHED_FIFO away";
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.out, "Error: Pthread set sched policy failed.\n");
}

}  // namespace
