#include <gtest/gtest.h>
#include <linux/capability.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>

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

// Runs InitEnvironment in a child with `resource` limited to 0 and without
// `cap`; the child ends silently where that cannot be arranged.
ChildResult initWithout(int resource, int cap) {
  return runInChild([=] {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    const rlimit none{0, 0};
    if (setrlimit(resource, &none) != 0 || syscall(SYS_capget, &header, data) != 0) return;
    data[cap / 32].effective &= ~(1u << (cap % 32));
    data[cap / 32].permitted &= ~(1u << (cap % 32));
    if (syscall(SYS_capset, &header, data) != 0 || hasCapability(cap)) return;
    sdk::InitEnvironment();
    std::printf("returned\n");
  });
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
  const ChildResult r = initWithout(RLIMIT_MEMLOCK, CAP_IPC_LOCK);
  if (r.out.empty() && r.status == 0) GTEST_SKIP() << "cannot take the right to lock memory away";
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.out, "Error: Lock memory failed.\n");
}

TEST(InitEnvironment, RefusedRealTimeClassEndsTheProcess) {
  if (kMlockallIsReal && !hasCapability(CAP_IPC_LOCK)) {
    GTEST_SKIP() << "needs CAP_IPC_LOCK so that only the scheduling step fails";
  }
  const ChildResult r = initWithout(RLIMIT_RTPRIO, CAP_SYS_NICE);
  if (r.out.empty() && r.status == 0) GTEST_SKIP() << "cannot take the right to SCHED_FIFO away";
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.out, "Error: Pthread set sched policy failed.\n");
}

}  // namespace
