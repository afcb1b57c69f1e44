// The LCM bridge, exercised between real processes. Every case runs in a
// forked child inside its own network namespace (multicast routed over lo),
// so no LCM traffic leaves it and parallel cases never hear each other.
// Checks made inside the child print "FAIL:" lines, which fail the test.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "kalvent_legged_sdk.h"
#include "test_support.h"

namespace sdk = KALVENT_LEGGED_SDK;
using Clock = std::chrono::steady_clock;

namespace {
// Live LCM subscriptions in this process: the test program interposes on
// LCM's C calls, which the library's references resolve to.
std::atomic<int> liveSubscriptions{0};
}  // namespace

extern "C" {

lcm_subscription_t* lcm_subscribe(lcm_t* lcm, const char* channel, lcm_msg_handler_t handler,
                                  void* userdata) {
  static const auto next =
      reinterpret_cast<decltype(&lcm_subscribe)>(dlsym(RTLD_NEXT, "lcm_subscribe"));
  lcm_subscription_t* made = next(lcm, channel, handler, userdata);
  if (made != nullptr) ++liveSubscriptions;
  return made;
}

int lcm_unsubscribe(lcm_t* lcm, lcm_subscription_t* handler) {
  static const auto next =
      reinterpret_cast<decltype(&lcm_unsubscribe)>(dlsym(RTLD_NEXT, "lcm_unsubscribe"));
  const int status = next(lcm, handler);
  if (status == 0) --liveSubscriptions;
  return status;
}

// LCM guards its state with glib's lazily created static mutexes, whose
// creation ThreadSanitizer cannot see through (glib is not instrumented).
const char* __tsan_default_suppressions() {
  return "race:g_static_rec_mutex_lock\n";
}

}  // extern "C"

namespace {

using kalvent_test::kSkipStatus;
using kalvent_test::patternedRecord;
using kalvent_test::sameBytes;

void expect(bool ok, const std::string& what) {
  if (!ok) std::printf("\nFAIL: %s\n", what.c_str());
}

// The child must end with status 0 and no failed check.
void expectClean(const std::function<void()>& body) {
  const auto r = kalvent_test::runInPrivateNetwork(body);
  if (r.exited && r.status == kSkipStatus) GTEST_SKIP() << r.out;
  EXPECT_TRUE(r.exited && r.status == 0 && r.out.find("FAIL: ") == std::string::npos)
      << "signal " << r.signal << "\n"
      << r.out;
}

// Calls Recv until `done` holds, at most 5 s; true if it did.
bool recvUntil(sdk::LCM& bridge, const std::function<bool()>& done) {
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (!done() && Clock::now() < deadline) bridge.Recv();
  return done();
}

// One byte over a socket pair; waits at most 10 s.
bool await(int fd) {
  pollfd p{fd, POLLIN, 0};
  char got = 0;
  return poll(&p, 1, 10000) == 1 && read(fd, &got, 1) == 1;
}

void signal(int fd) {
  expect(write(fd, "", 1) == 1, "handshake write");
}

TEST(LcmBridge, ConsoleLinesAndExitStatuses) {
  struct Case {
    int level;
    void (sdk::LCM::*subscribe)();
    const char* url;
    int status;
    std::string out;
    std::string errNames = "";  // what standard error must name, if anything
  };
  const std::string init = "LCM Initialized. Subscribe channel: ";
  const Case cases[] = {
      {sdk::LOWLEVEL, &sdk::LCM::SubscribeCmd, nullptr, 0,
       init + "LCM_Low_Cmd, Publish channel: LCM_Low_State\n"},
      {sdk::LOWLEVEL, &sdk::LCM::SubscribeState, nullptr, 0,
       init + "LCM_Low_State, Publish channel: LCM_Low_Cmd\n"},
      {sdk::HIGHLEVEL, &sdk::LCM::SubscribeCmd, nullptr, 0,
       init + "LCM_High_Cmd, Publish channel: LCM_High_State\n"},
      {sdk::HIGHLEVEL, &sdk::LCM::SubscribeState, nullptr, 0,
       init + "LCM_High_State, Publish channel: LCM_High_Cmd\n"},
      {1, nullptr, nullptr, 255, "Level Flag Error.\n", "level 0x01"},
      {sdk::LOWLEVEL, nullptr, "nosuchprovider://", 254, "Error: LCM initiate failed.\n",
       "LCM_DEFAULT_URL=nosuchprovider://"},
  };
  for (const Case& c : cases) {
    std::string err;
    const auto r = kalvent_test::runInPrivateNetwork(
        [&] {
          if (c.url != nullptr) setenv("LCM_DEFAULT_URL", c.url, 1);
          sdk::LCM bridge(static_cast<uint8_t>(c.level));
          if (c.subscribe != nullptr) (bridge.*c.subscribe)();
        },
        &err);
    if (r.exited && r.status == kSkipStatus) GTEST_SKIP() << r.out;
    EXPECT_TRUE(r.exited && r.status == c.status) << r.status << " " << r.out;
    EXPECT_EQ(r.out, c.out);
    EXPECT_NE(err.find(c.errNames), std::string::npos) << err;
  }
}

// LCM::open returns what the constructor ends the process for, and writes
// nothing on standard output. No multicast: memq and a provider that does
// not exist.
TEST(LcmBridge, OpenReturnsTheFailedStep) {
  const auto r = kalvent_test::runInChild([] {
    setenv("LCM_DEFAULT_URL", "memq://", 1);
    expect(sdk::LCM::open(sdk::LOWLEVEL).has_value(), "a memq bridge opens");
    const auto badLevel = sdk::LCM::open(1);
    expect(!badLevel && badLevel.error().step == sdk::Step::LevelSelector &&
               badLevel.error().message ==
                   "LCM: level 0x01 is neither HIGHLEVEL (0x00) nor LOWLEVEL (0xff)",
           "level selector");
    setenv("LCM_DEFAULT_URL", "nosuchprovider://", 1);
    const auto none = sdk::LCM::open(sdk::HIGHLEVEL);
    expect(!none && none.error().step == sdk::Step::LcmCreation &&
               none.error().message.rfind("LCM: no provider from LCM_DEFAULT_URL=nosuchprovider://",
                                          0) == 0,
           "lcm creation");
  });
  EXPECT_TRUE(r.exited && r.status == 0);
  EXPECT_EQ(r.out, "");
}

TEST(LcmBridge, RecordsCrossProcessesAndRecvDrainsThenTimesOut) {
  const auto first = patternedRecord<sdk::LowState>(1);
  const auto second = patternedRecord<sdk::LowState>(2);
  ASSERT_FALSE(sameBytes(first, second) || sameBytes(second, sdk::LowState{}))
      << "the test records must tell apart a later record and none";
  expectClean([&] {
    int fds[2];
    expect(socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0, "socketpair");
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {  // the command side publishes two states between two Recv calls
      sdk::LCM commandSide(sdk::LOWLEVEL);
      commandSide.SubscribeCmd();
      expect(await(fds[1]), "receiver never got ready");
      auto a = first;
      auto b = second;
      expect(commandSide.Send(a) == 0 && commandSide.Send(b) == 0, "Send returns 0");
      signal(fds[1]);
      std::fflush(stdout);
      _exit(0);
    }
    sdk::LCM stateSide(sdk::LOWLEVEL);
    stateSide.SubscribeState();
    stateSide.lowStateLCMHandler.counter = 41;
    signal(fds[0]);
    expect(await(fds[0]), "publisher never sent");
    // Both datagrams are in by now; give LCM's reader thread time to queue them.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    expect(stateSide.Recv() == 1, "Recv with messages waiting returns 1");
    sdk::LowState got{};
    stateSide.Get(got);
    expect(sameBytes(got, second), "Get yields the later record byte for byte");
    expect(stateSide.lowStateLCMHandler.counter == 0, "a record resets the counter");
    const auto start = Clock::now();
    expect(stateSide.Recv() == -2, "the first Recv left a message behind");
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    expect(ms >= 1.9 && ms < 250, "an empty Recv gave up after " + std::to_string(ms) + " ms");
    waitpid(pid, nullptr, 0);
  });
}

TEST(LcmBridge, EachHandlerTakesOnlyWholeRecordsOfItsOwnChannel) {
  expectClean([] {
    lcm::LCM raw("");
    sdk::LCM low(sdk::LOWLEVEL);
    sdk::LCM other(sdk::LOWLEVEL);
    sdk::LCM high(sdk::HIGHLEVEL);
    // Repeating a Subscribe call replaces only that bridge's own subscription
    // of that side.
    low.SubscribeCmd();
    other.SubscribeCmd();
    high.SubscribeCmd();
    low.SubscribeState();
    high.SubscribeState();
    low.SubscribeCmd();
    low.SubscribeCmd();
    other.SubscribeCmd();
    high.SubscribeCmd();
    expect(liveSubscriptions == 5, std::to_string(liveSubscriptions.load()) + " subscriptions");

    sdk::LowState lowState;
    low.Get(lowState);
    expect(sameBytes(lowState, sdk::LowState{}), "the record before any message is all zero");
    low.lowStateLCMHandler.counter = 5;
    const std::vector<unsigned char> junk(sizeof(sdk::LowState) + 1, 0x5A);
    for (const size_t length : {size_t{0}, size_t{1}, sizeof(sdk::LowState) - 1,
                                sizeof(sdk::LowState) + 1, sizeof(sdk::LowCmd)}) {
      raw.publish("LCM_Low_State", junk.data(), static_cast<unsigned>(length));
    }
    // A LowCmd from the high-level bridge closes the series: LCM hands
    // messages over in order.
    auto lowCmd = patternedRecord<sdk::LowCmd>(1);
    high.Send(lowCmd);
    auto& lowStates = low.lowStateLCMHandler;
    expect(recvUntil(low, [&] { return low.lowCmdLCMHandler.isrunning; }), "no LowCmd arrived");
    expect(recvUntil(other, [&] { return other.lowCmdLCMHandler.isrunning; }),
           "the other low-level bridge lost its subscription");
    expect(sameBytes(low.lowCmdLCMHandler.sourceBuf, lowCmd) &&
               sameBytes(other.lowCmdLCMHandler.sourceBuf, lowCmd),
           "LowCmd stored");
    expect(!lowStates.isrunning && lowStates.counter == 5 && sameBytes(lowStates.sourceBuf, {}),
           "a wrong length or a LowCmd reached the LowState handler");

    lowState = patternedRecord<sdk::LowState>(2);
    auto highCmd = patternedRecord<sdk::HighCmd>(3);
    auto highState = patternedRecord<sdk::HighState>(4);
    high.Send(lowState);
    high.Send(highCmd);
    high.Send(highState);
    expect(recvUntil(low, [&] { return lowStates.isrunning; }), "no LowState arrived");
    expect(
        recvUntil(
            high,
            [&] { return high.highCmdLCMHandler.isrunning && high.highStateLCMHandler.isrunning; }),
        "the high-level bridge lost a side");
    expect(sameBytes(lowStates.sourceBuf, lowState) && lowStates.counter == 0 &&
               sameBytes(low.lowCmdLCMHandler.sourceBuf, lowCmd) &&
               sameBytes(high.highCmdLCMHandler.sourceBuf, highCmd) &&
               sameBytes(high.highStateLCMHandler.sourceBuf, highState),
           "each record is stored whole in its own handler");
    expect(!low.highCmdLCMHandler.isrunning && !low.highStateLCMHandler.isrunning &&
               !high.lowCmdLCMHandler.isrunning && !high.lowStateLCMHandler.isrunning,
           "a record reached a handler that was not subscribed");
  });
}

// LCM's in-process queue, unlike its multicast transport, works on any
// descriptor number: with every low number taken, the bridge must too.
// Meanwhile another thread reads the record that Recv keeps replacing.
TEST(LcmBridge, RecvBeyondDescriptor1024WhileGetReadsWholeRecords) {
  expectClean([] {
    const int kFloor = 1100;
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_max < static_cast<rlim_t>(kFloor + 64)) {
      std::printf("the descriptor limit is too low to test this");
      std::fflush(stdout);
      _exit(kSkipStatus);
    }
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    int fd = 0;
    while ((fd = dup(STDERR_FILENO)) >= 0 && fd < kFloor) {
    }
    expect(fd >= kFloor, "could not take every low descriptor");
    setenv("LCM_DEFAULT_URL", "memq://", 1);
    sdk::LCM bridge(sdk::LOWLEVEL);
    bridge.SubscribeState();
    expect(bridge.Recv() == -2, "Recv with nothing published returns -2");

    std::atomic<bool> stop{false};
    std::atomic<long> reads{0};
    long torn = 0;
    std::thread reader([&] {
      sdk::LowState seen;
      const auto* bytes = reinterpret_cast<const unsigned char*>(&seen);
      while (!stop) {
        bridge.Get(seen);
        if (std::count(bytes, bytes + sizeof seen, bytes[0]) != sizeof seen) ++torn;
        ++reads;
      }
    });
    sdk::LowState record;
    int sent = 0;
    int handled = 0;
    // Keep storing while the reader runs, long enough for many reads to
    // overlap a store.
    const auto until = Clock::now() + std::chrono::milliseconds(300);
    while (sent < 100000 && (reads < 1000 || Clock::now() < until)) {
      ++sent;
      std::memset(&record, sent % 255 + 1, sizeof record);
      bridge.Send(record);
      if (bridge.Recv() == 1) ++handled;
    }
    stop = true;
    reader.join();
    sdk::LowState newest;
    bridge.Get(newest);
    expect(handled == sent && sameBytes(newest, record), "every record handled, the newest kept");
    expect(torn == 0 && reads >= 1000,
           std::to_string(torn) + " torn records in " + std::to_string(reads.load()));
  });
}

}  // namespace
