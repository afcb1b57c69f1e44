// The hot path allocates nothing: this program counts every heap allocation
// (its own malloc family here, the sanitizer runtime's hooks in the sanitizer
// builds, which own malloc there) across the cycles of a low-level control
// program.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "kalvent_legged_sdk.h"
#include "udp_peer.h"

namespace {

std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

void noteAllocation() {
  if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1);
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)

extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*onMalloc)(const volatile void*,
                                                                          size_t),
                                                         void (*onFree)(const volatile void*));

namespace {

const int hooksInstalled = __sanitizer_install_malloc_and_free_hooks(
    [](const volatile void*, size_t) { noteAllocation(); }, [](const volatile void*) {});

}  // namespace

#else

// operator new and the C library reach the heap through malloc.
extern "C" void* __libc_malloc(size_t size);

extern "C" void* malloc(size_t size) {
  noteAllocation();
  return __libc_malloc(size);
}

#endif

namespace {

TEST(HotPath, TenThousandControlCyclesAllocateNothing) {
  counting = true;  // first, that counting sees an allocation at all
  int* const volatile block = new int(1);
  counting = false;
  delete block;
  ASSERT_GT(allocations.load(), 0);

  kalvent_test::Link link(610, 771);
  KALVENT_LEGGED_SDK::LowCmd cmd{};
  link.endpoint.InitCmdData(cmd);
  KALVENT_LEGGED_SDK::LowState state{};
  const kalvent_test::Bytes reply = kalvent_test::goodPacket(771, 1);
  unsigned char command[1024];
  int commandsSeen = 0;
  allocations = 0;
  counting = true;
  for (int i = 0; i < 10000; ++i) {
    cmd.motorCmd[i % 12].tau = static_cast<float>(i % 100) * 0.01f;
    link.endpoint.SetSend(cmd);
    link.endpoint.Send();
    commandsSeen += link.peer.receiveInto(command, sizeof command) == 610 ? 1 : 0;
    link.peer.sendTo(link.endpoint.localPort, reply);
    link.endpoint.Recv();
    link.endpoint.GetRecv(state);
  }
  counting = false;
  EXPECT_EQ(allocations.load(), 0);
  EXPECT_EQ(commandsSeen, 10000);
  EXPECT_GT(link.endpoint.udpState.RecvCount, 0u);
}

TEST(HotPath, StateLoopAllocatesNothingForStatesOrStalePeriods) {
  kalvent_test::Link link(610, 771);
  KALVENT_LEGGED_SDK::LowCmd cmd{};
  KALVENT_LEGGED_SDK::LowState state{};
  link.endpoint.InitCmdData(cmd);
  KALVENT_LEGGED_SDK::LowStateLoop loop(
      "hot", link.endpoint, state, cmd, 0.002f, 0.001f,
      [](KALVENT_LEGGED_SDK::LowState& s, KALVENT_LEGGED_SDK::LowCmd& c,
         const KALVENT_LEGGED_SDK::StateTick& t) {
        c.motorCmd[0].tau = t.stale ? 0 : s.imu.rpy[0];
      });
  loop.start();
  const kalvent_test::Bytes reply = kalvent_test::goodPacket(771, 1);
  unsigned char command[1024];
  // One exchange before counting: the loop's thread is then past its own
  // start, where the sanitizer runtimes allocate for the new thread.
  link.peer.sendTo(link.endpoint.localPort, reply);
  ASSERT_EQ(link.peer.receiveInto(command, sizeof command), 610);
  int commandsSeen = 0;
  allocations = 0;
  counting = true;
  for (int i = 0; i < 200; ++i) {
    link.peer.sendTo(link.endpoint.localPort, reply);
    commandsSeen += link.peer.receiveInto(command, sizeof command) == 610 ? 1 : 0;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // about five stale periods
  counting = false;
  loop.shutdown();
  EXPECT_EQ(allocations.load(), 0);
  EXPECT_EQ(commandsSeen, 200);
}

}  // namespace
