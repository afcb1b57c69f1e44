// The hot path allocates nothing: this program counts every heap allocation
// (its own malloc family here, the sanitizer runtime's hooks in the
// sanitizer builds, which own malloc there) across the cycles of a low-level
// control program.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>

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

// operator new and the C library reach the heap through these.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void __libc_free(void* block);

void* malloc(size_t size) {
  noteAllocation();
  return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
  noteAllocation();
  return __libc_calloc(count, size);
}

void* realloc(void* block, size_t size) {
  noteAllocation();
  return __libc_realloc(block, size);
}

void free(void* block) {
  __libc_free(block);
}
}

#endif

namespace {

namespace sdk = KALVENT_LEGGED_SDK;

TEST(HotPath, CountingSeesAnAllocation) {
  counting = true;
  int* const volatile block = new int(1);
  counting = false;
  delete block;
  EXPECT_GT(allocations.load(), 0);
}

TEST(HotPath, TenThousandControlCyclesAllocateNothing) {
  kalvent_test::Link link(610, 771);
  sdk::LowCmd cmd{};
  link.endpoint.InitCmdData(cmd);
  sdk::LowState state{};
  const kalvent_test::Bytes reply = kalvent_test::goodPacket(771, 1);
  unsigned char command[1024];
  size_t commandsSeen = 0;

  allocations = 0;
  counting = true;
  for (int i = 0; i < 10000; ++i) {
    cmd.motorCmd[i % 12].tau = static_cast<float>(i % 100) * 0.01f;
    link.endpoint.SetSend(cmd);
    link.endpoint.Send();
    if (link.peer.receiveInto(command, sizeof command) == 610) ++commandsSeen;
    link.peer.reply(reply);
    link.endpoint.Recv();
    link.endpoint.GetRecv(state);
  }
  counting = false;

  EXPECT_EQ(allocations.load(), 0);
  EXPECT_EQ(commandsSeen, 10000u);
  EXPECT_GT(link.endpoint.udpState.RecvCount, 0u);
  EXPECT_EQ(link.endpoint.udpState.RecvCount + link.endpoint.udpState.RecvCRCError, 10000u);
}

}  // namespace
