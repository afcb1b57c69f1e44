// The LCM bridge, exercised between real processes. Every case runs in a
// forked child inside its own network namespace (multicast routed over lo),
// so no LCM traffic leaves it and parallel cases never hear each other.
// Checks made inside those processes are printed as "FAIL:" lines and
// collected by the test.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kalvent_legged_sdk.h"
#include "test_support.h"

namespace sdk = KALVENT_LEGGED_SDK;
using Clock = std::chrono::steady_clock;

// Live lcm subscriptions in this process. The test program interposes on
// LCM's C calls (the library's references resolve to these), so a test can
// see how many subscriptions the bridges really hold.
namespace {
std::atomic<int> liveSubscriptions{0};
}  // namespace

extern "C" {

lcm_subscription_t* lcm_subscribe(lcm_t* lcm, const char* channel, lcm_msg_handler_t handler,
                                  void* userdata) {
  using Fn = lcm_subscription_t* (*)(lcm_t*, const char*, lcm_msg_handler_t, void*);
  static const auto next = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "lcm_subscribe"));
  lcm_subscription_t* made = next(lcm, channel, handler, userdata);
  if (made != nullptr) ++liveSubscriptions;
  return made;
}

int lcm_unsubscribe(lcm_t* lcm, lcm_subscription_t* handler) {
  using Fn = int (*)(lcm_t*, lcm_subscription_t*);
  static const auto next = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "lcm_unsubscribe"));
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

const int kSkipStatus = 77;

void expect(bool ok, const std::string& what) {
  if (!ok) std::printf("\nFAIL: %s\n", what.c_str());
}

std::vector<std::string> failuresIn(const std::string& out) {
  std::vector<std::string> found;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("FAIL: ", 0) == 0) found.push_back(line.substr(6));
  }
  return found;
}

// Runs `body` in a forked child inside a fresh network namespace.
kalvent_test::ChildResult inPrivateNetwork(const std::function<void()>& body) {
  return kalvent_test::runInChild([&] {
    std::string why;
    if (!kalvent_test::enterPrivateNetwork(true, &why)) {
      std::printf("%s", why.c_str());
      std::fflush(stdout);
      _exit(kSkipStatus);
    }
    body();
  });
}

bool skipped(const kalvent_test::ChildResult& r) {
  return r.exited && r.status == kSkipStatus;
}

void expectClean(const kalvent_test::ChildResult& r) {
  EXPECT_TRUE(r.exited) << "signal " << r.signal << "\n" << r.out;
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(failuresIn(r.out), std::vector<std::string>{}) << r.out;
}

// A second process in the same namespace, forked before either side makes
// an LCM instance, with a socket pair to say "ready" / "sent" across.
class Peer {
 public:
  explicit Peer(const std::function<void(Peer&)>& body) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return;
    std::fflush(stdout);
    pid_ = fork();
    if (pid_ == 0) {
      close(fds[0]);
      fd_ = fds[1];
      body(*this);
      std::fflush(stdout);
      _exit(0);
    }
    close(fds[1]);
    fd_ = fds[0];
  }

  ~Peer() {
    if (pid_ > 0) finish();
    if (fd_ >= 0) close(fd_);
  }

  void signal() {
    const char one = 1;
    expect(write(fd_, &one, 1) == 1, "handshake write");
  }

  bool await(int timeoutMs = 10000) {
    pollfd p{fd_, POLLIN, 0};
    char got = 0;
    return poll(&p, 1, timeoutMs) == 1 && read(fd_, &got, 1) == 1;
  }

  // Waits up to 20 s for the peer to end (then kills it); true when it
  // exited normally.
  bool finish() {
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (Clock::now() > deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
};

template <typename T>
T patterned(int salt) {
  T record;
  auto* bytes = reinterpret_cast<unsigned char*>(&record);
  for (size_t i = 0; i < sizeof record; ++i) bytes[i] = static_cast<unsigned char>(i * 7 + salt);
  return record;
}

template <typename T>
T uniform(unsigned char value) {
  T record;
  std::memset(&record, value, sizeof record);
  return record;
}

template <typename T>
bool sameBytes(const T& a, const T& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

template <typename T>
bool allZero(const T& record) {
  return sameBytes(record, uniform<T>(0));
}

// Calls Recv until `done` holds, at most 5 s; true if it did.
bool recvUntil(sdk::LCM& bridge, const std::function<bool()>& done) {
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    bridge.Recv();
  }
  return true;
}

template <typename T>
void setCounter(sdk::LCMHandler<T>& handler, int32_t value) {
  pthread_mutex_lock(&handler.countMut);
  handler.counter = value;
  pthread_mutex_unlock(&handler.countMut);
}

template <typename T>
int32_t counterOf(sdk::LCMHandler<T>& handler) {
  pthread_mutex_lock(&handler.countMut);
  const int32_t value = handler.counter;
  pthread_mutex_unlock(&handler.countMut);
  return value;
}

template <typename T>
bool untouched(sdk::LCMHandler<T>& handler) {
  return !handler.isrunning && counterOf(handler) == 0 && allZero(handler.sourceBuf);
}

TEST(LcmBridgeConsole, ConstructionAndSubscribeMakeOneLine) {
  struct Case {
    int level;
    bool commandSide;
    const char* line;
  };
  const Case cases[] = {
      {sdk::LOWLEVEL, true, "Subscribe channel: LCM_Low_Cmd, Publish channel: LCM_Low_State\n"},
      {sdk::LOWLEVEL, false, "Subscribe channel: LCM_Low_State, Publish channel: LCM_Low_Cmd\n"},
      {sdk::HIGHLEVEL, true, "Subscribe channel: LCM_High_Cmd, Publish channel: LCM_High_State\n"},
      {sdk::HIGHLEVEL, false, "Subscribe channel: LCM_High_State, Publish channel: LCM_High_Cmd\n"},
  };
  for (const Case& c : cases) {
    const auto r = inPrivateNetwork([&] {
      sdk::LCM bridge(static_cast<uint8_t>(c.level));
      if (c.commandSide) {
        bridge.SubscribeCmd();
      } else {
        bridge.SubscribeState();
      }
    });
    if (skipped(r)) GTEST_SKIP() << r.out;
    EXPECT_TRUE(r.exited && r.status == 0) << r.out;
    EXPECT_EQ(r.out, std::string("LCM Initialized. ") + c.line);
  }
}

TEST(LcmBridgeConsole, InvalidLevelEndsTheProcessWith255) {
  const auto r = inPrivateNetwork([] {
    sdk::LCM bridge(1);
    std::printf("still running\n");
  });
  if (skipped(r)) GTEST_SKIP() << r.out;
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "Level Flag Error.\n");
}

TEST(LcmBridgeConsole, UnusableTransportEndsTheProcessWith254) {
  const auto r = inPrivateNetwork([] {
    setenv("LCM_DEFAULT_URL", "nosuchprovider://", 1);
    sdk::LCM bridge(sdk::LOWLEVEL);
    std::printf("still running\n");
  });
  if (skipped(r)) GTEST_SKIP() << r.out;
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.out, "Error: LCM initiate failed.\n");
}

TEST(LcmBridge, FreshBridgeHoldsZeroRecords) {
  const auto r = inPrivateNetwork([] {
    sdk::LCM bridge(sdk::HIGHLEVEL);
    bridge.SubscribeState();
    auto highCmd = uniform<sdk::HighCmd>(0xAA);
    auto lowCmd = uniform<sdk::LowCmd>(0xAA);
    auto highState = uniform<sdk::HighState>(0xAA);
    auto lowState = uniform<sdk::LowState>(0xAA);
    bridge.Get(highCmd);
    bridge.Get(lowCmd);
    bridge.Get(highState);
    bridge.Get(lowState);
    expect(allZero(highCmd) && allZero(lowCmd) && allZero(highState) && allZero(lowState),
           "records before any message are all zero");
    expect(untouched(bridge.highCmdLCMHandler) && untouched(bridge.lowCmdLCMHandler) &&
               untouched(bridge.highStateLCMHandler) && untouched(bridge.lowStateLCMHandler),
           "handlers start idle");
  });
  if (skipped(r)) GTEST_SKIP() << r.out;
  expectClean(r);
}

TEST(LcmBridge, RecvWithNothingPublishedGivesUpAfterAboutTwoMilliseconds) {
  const auto r = inPrivateNetwork([] {
    sdk::LCM bridge(sdk::LOWLEVEL);
    bridge.SubscribeState();
    double fastest = 1e9;
    for (int i = 0; i < 5; ++i) {
      const auto start = Clock::now();
      const int status = bridge.Recv();
      const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
      expect(status == -2, "Recv returned " + std::to_string(status));
      expect(ms >= 1.9, "Recv gave up early, after " + std::to_string(ms) + " ms");
      fastest = std::min(fastest, ms);
    }
    expect(fastest < 50.0, "fastest empty Recv took " + std::to_string(fastest) + " ms");
  });
  if (skipped(r)) GTEST_SKIP() << r.out;
  expectClean(r);
}

TEST(LcmBridge, LowStateCrossesProcessesByteForByte) {
  const auto sent = patterned<sdk::LowState>(3);
  const auto r = inPrivateNetwork([&] {
    Peer peer([&](Peer& self) {
      sdk::LCM commandSide(sdk::LOWLEVEL);
      commandSide.SubscribeCmd();
      expect(self.await(), "receiver never got ready");
      auto record = sent;
      expect(commandSide.Send(record) == 0, "Send returns 0");
      expect(sameBytes(record, sent), "Send leaves the record alone");
    });
    sdk::LCM stateSide(sdk::LOWLEVEL);
    stateSide.SubscribeState();
    setCounter(stateSide.lowStateLCMHandler, 41);
    peer.signal();
    auto& handler = stateSide.lowStateLCMHandler;
    expect(recvUntil(stateSide, [&] { return handler.isrunning; }), "no LowState arrived");
    sdk::LowState got{};
    stateSide.Get(got);
    expect(sameBytes(got, sent), "received LowState differs from the one sent");
    expect(counterOf(handler) == 0, "counter is reset by a message");
    expect(peer.finish(), "publisher failed");
  });
  if (skipped(r)) GTEST_SKIP() << r.out;
  expectClean(r);
}

TEST(LcmBridge, OneRecvHandlesEveryWaitingMessageAndKeepsTheLater) {
  const auto first = patterned<sdk::HighCmd>(1);
  const auto second = patterned<sdk::HighCmd>(2);
  const auto r = inPrivateNetwork([&] {
    Peer peer([&](Peer& self) {
      sdk::LCM stateSide(sdk::HIGHLEVEL);
      stateSide.SubscribeState();
      expect(self.await(), "receiver never got ready");
      auto a = first;
      auto b = second;
      stateSide.Send(a);
      stateSide.Send(b);
      self.signal();
      expect(self.await(), "receiver never finished");
    });
    sdk::LCM commandSide(sdk::HIGHLEVEL);
    commandSide.SubscribeCmd();
    peer.signal();
    expect(peer.await(), "publisher never sent");
    // Both datagrams are in by now; give LCM's reader time to queue them.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    expect(commandSide.Recv() == 1, "Recv with messages waiting returns 1");
    sdk::HighCmd got{};
    commandSide.Get(got);
    expect(sameBytes(got, second), "Get yields the later message");
    expect(commandSide.Recv() == -2, "the first Recv left a message behind");
    peer.signal();
    expect(peer.finish(), "publisher failed");
  });
  if (skipped(r)) GTEST_SKIP() << r.out;
  expectClean(r);
}

// Every (channel, length) that a raw LCM subscriber saw.
struct Heard {
  std::vector<std::pair<std::string, unsigned>> messages;
  std::vector<unsigned char> lastBytes;
  static void onMsg(const lcm::ReceiveBuffer* rbuf, const std::string& channel, Heard* self) {
    self->messages.emplace_back(channel, rbuf->data_size);
    const auto* data = static_cast<const unsigned char*>(rbuf->data);
    self->lastBytes.assign(data, data + rbuf->data_size);
  }
};

TEST(LcmBridge, SendPublishesEachRecordWholeOnItsOwnChannelAtAnyLevel) {
  const auto r = inPrivateNetwork([] {
    lcm::LCM raw("");
    Heard heard;
    // LCM's own self-test traffic shares the group: listen to our family only.
    raw.subscribeFunction("LCM_(High|Low)_.*", &Heard::onMsg, &heard);
    sdk::LCM bridge(sdk::HIGHLEVEL);
    bridge.SubscribeState();
    const auto lowCmd = patterned<sdk::LowCmd>(9);
    auto record = lowCmd;
    bridge.Send(record);
    while (heard.messages.empty() && raw.handleTimeout(5000) > 0) {
    }
    expect(heard.messages.size() == 1 && heard.messages[0].first == "LCM_Low_Cmd" &&
               heard.messages[0].second == 730,
           "Send(LowCmd&) on a high-level bridge publishes 730 bytes on LCM_Low_Cmd");
    expect(heard.lastBytes.size() == sizeof lowCmd &&
               std::memcmp(heard.lastBytes.data(), &lowCmd, sizeof lowCmd) == 0,
           "the payload is the record's bytes");

    auto highCmd = patterned<sdk::HighCmd>(1);
    auto highState = patterned<sdk::HighState>(2);
    auto lowState = patterned<sdk::LowState>(3);
    bridge.Send(highCmd);
    bridge.Send(highState);
    bridge.Send(lowState);
    while (heard.messages.size() < 4 && raw.handleTimeout(5000) > 0) {
    }
    const std::vector<std::pair<std::string, unsigned>> expected = {{"LCM_Low_Cmd", 730},
                                                                    {"LCM_High_Cmd", 143},
                                                                    {"LCM_High_State", 256},
                                                                    {"LCM_Low_State", 891}};
    std::string got;
    for (const auto& m : heard.messages) got += " " + m.first + "/" + std::to_string(m.second);
    expect(heard.messages == expected, "channels and lengths of the four records:" + got);
  });
  if (skipped(r)) GTEST_SKIP() << r.out;
  expectClean(r);
}

TEST(LcmBridge, MessageReachesOnlyTheHandlerOfItsChannel) {
  const auto lowState = patterned<sdk::LowState>(4);
  const auto lowCmd = patterned<sdk::LowCmd>(5);
  const auto r = inPrivateNetwork([&] {
    Peer peer([&](Peer& self) {
      sdk::LCM sender(sdk::LOWLEVEL);
      expect(self.await(), "receiver never got ready");
      auto a = lowState;
      sender.Send(a);
      expect(self.await(), "receiver never took the LowState");
      auto b = lowCmd;
      sender.Send(b);
      expect(self.await(), "receiver never finished");
    });
    // Both sides on one bridge: each message must land in its own handler.
    sdk::LCM bridge(sdk::LOWLEVEL);
    bridge.SubscribeCmd();
    bridge.SubscribeState();
    peer.signal();
    expect(recvUntil(bridge, [&] { return bridge.lowStateLCMHandler.isrunning; }),
           "no LowState arrived");
    expect(sameBytes(bridge.lowStateLCMHandler.sourceBuf, lowState), "LowState stored");
    expect(untouched(bridge.lowCmdLCMHandler), "LowState reached the LowCmd handler");
    peer.signal();
    expect(recvUntil(bridge, [&] { return bridge.lowCmdLCMHandler.isrunning; }),
           "no LowCmd arrived");
    expect(sameBytes(bridge.lowCmdLCMHandler.sourceBuf, lowCmd), "LowCmd stored");
    expect(sameBytes(bridge.lowStateLCMHandler.sourceBuf, lowState),
           "LowCmd changed the LowState handler");
    expect(untouched(bridge.highCmdLCMHandler) && untouched(bridge.highStateLCMHandler),
           "high-level handlers stay idle");
    peer.signal();
    expect(peer.finish(), "publisher failed");
  });
  if (skipped(r)) GTEST_SKIP() << r.out;
  expectClean(r);
}

TEST(LcmBridge, MessagesOfTheWrongLengthAreDropped) {
  const auto r = inPrivateNetwork([] {
    lcm::LCM raw("");
    sdk::LCM bridge(sdk::LOWLEVEL);
    bridge.SubscribeState();
    auto& handler = bridge.lowStateLCMHandler;
    setCounter(handler, 5);
    std::vector<unsigned char> bytes(sizeof(sdk::LowState) + 1, 0x5A);
    for (const size_t length : {size_t{0}, size_t{1}, sizeof(sdk::LowState) - 1,
                                sizeof(sdk::LowState) + 1, sizeof(sdk::LowCmd)}) {
      raw.publish("LCM_Low_State", bytes.data(), static_cast<unsigned>(length));
    }
    // Something of the right size closes the series: once it is stored, the
    // wrong ones before it have been handled too.
    const auto good = patterned<sdk::LowState>(6);
    raw.publish("LCM_Low_State", &good, sizeof good);
    expect(recvUntil(bridge, [&] { return handler.isrunning; }), "no LowState arrived");
    expect(sameBytes(handler.sourceBuf, good), "wrong lengths were stored");

    setCounter(handler, 5);
    for (const size_t length : {size_t{1}, sizeof(sdk::LowState) + 1}) {
      raw.publish("LCM_Low_State", bytes.data(), static_cast<unsigned>(length));
    }
    // A command closes this series: LCM hands messages over in order.
    bridge.SubscribeCmd();
    const auto marker = patterned<sdk::LowCmd>(1);
    raw.publish("LCM_Low_Cmd", &marker, sizeof marker);
    expect(recvUntil(bridge, [&] { return bridge.lowCmdLCMHandler.isrunning; }),
           "no LowCmd arrived");
    expect(sameBytes(handler.sourceBuf, good), "a wrong length replaced the record");
    expect(counterOf(handler) == 5, "a wrong length reset the counter");
  });
  if (skipped(r)) GTEST_SKIP() << r.out;
  expectClean(r);
}

TEST(LcmBridge, RepeatedSubscribeReplacesOnlyItsOwnSubscription) {
  const auto r = inPrivateNetwork([] {
    sdk::LCM a(sdk::LOWLEVEL);
    sdk::LCM b(sdk::LOWLEVEL);
    a.SubscribeCmd();
    b.SubscribeCmd();
    a.SubscribeState();
    expect(liveSubscriptions == 3, "three subscriptions after three first calls");
    a.SubscribeCmd();
    a.SubscribeCmd();
    b.SubscribeCmd();
    expect(liveSubscriptions == 3,
           "repeated calls keep three, not " + std::to_string(liveSubscriptions.load()));

    // Every side still hears its channel.
    lcm::LCM raw("");
    const auto cmd = patterned<sdk::LowCmd>(7);
    const auto state = patterned<sdk::LowState>(8);
    raw.publish("LCM_Low_Cmd", &cmd, sizeof cmd);
    raw.publish("LCM_Low_State", &state, sizeof state);
    expect(recvUntil(
               a, [&] { return a.lowCmdLCMHandler.isrunning && a.lowStateLCMHandler.isrunning; }),
           "bridge a lost a side");
    expect(recvUntil(b, [&] { return b.lowCmdLCMHandler.isrunning; }), "bridge b went deaf");
    expect(sameBytes(a.lowCmdLCMHandler.sourceBuf, cmd) &&
               sameBytes(b.lowCmdLCMHandler.sourceBuf, cmd) &&
               sameBytes(a.lowStateLCMHandler.sourceBuf, state),
           "records stored");
  });
  if (skipped(r)) GTEST_SKIP() << r.out;
  expectClean(r);
}

TEST(LcmBridge, RecvWorksWithDescriptorsBeyondSelectsReach) {
  const auto r = inPrivateNetwork([] {
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
    // Occupy every low number, so that LCM's descriptors all land above.
    std::vector<int> fillers;
    for (int fd = dup(STDERR_FILENO); fd >= 0 && fd < kFloor; fd = dup(STDERR_FILENO)) {
      fillers.push_back(fd);
    }
    // LCM's multicast transport cannot itself work this high (it selects on
    // its sockets); its in-process queue can, and the bridge must follow.
    setenv("LCM_DEFAULT_URL", "memq://", 1);
    sdk::LCM bridge(sdk::LOWLEVEL);
    bridge.SubscribeState();
    expect(bridge.Recv() == -2, "Recv with nothing published returns -2");
    const auto sent = patterned<sdk::LowState>(2);
    auto record = sent;
    bridge.Send(record);
    expect(bridge.Recv() == 1, "Recv with a message waiting returns 1");
    expect(
        bridge.lowStateLCMHandler.isrunning && sameBytes(bridge.lowStateLCMHandler.sourceBuf, sent),
        "LowState stored");
    for (const int fd : fillers) close(fd);
  });
  if (skipped(r)) GTEST_SKIP() << r.out;
  expectClean(r);
}

TEST(LcmBridge, GetFromAnotherThreadNeverSeesATornRecord) {
  const int kMessages = 300;
  const auto r = inPrivateNetwork([&] {
    Peer peer([&](Peer& self) {
      sdk::LCM commandSide(sdk::LOWLEVEL);
      expect(self.await(), "receiver never got ready");
      sdk::LowState record;
      for (int i = 1; i <= kMessages; ++i) {
        record = uniform<sdk::LowState>(static_cast<unsigned char>(i % 255 + 1));
        commandSide.Send(record);
        std::this_thread::sleep_for(std::chrono::microseconds(300));
      }
      // Repeat the last one until the receiver has it, so that no datagram
      // lost on a slow machine can stall it.
      for (int i = 0; i < 1500 && !self.await(10); ++i) commandSide.Send(record);
    });
    sdk::LCM stateSide(sdk::LOWLEVEL);
    stateSide.SubscribeState();
    std::atomic<bool> stop{false};
    long reads = 0;
    long torn = 0;
    std::thread reader([&] {
      sdk::LowState seen;
      const auto deadline = Clock::now() + std::chrono::seconds(20);
      while (!stop && Clock::now() < deadline) {
        stateSide.Get(seen);
        ++reads;
        if (!sameBytes(seen, uniform<sdk::LowState>(reinterpret_cast<unsigned char*>(&seen)[0])))
          ++torn;
      }
    });
    peer.signal();
    const unsigned char last = static_cast<unsigned char>(kMessages % 255 + 1);
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    sdk::LowState newest{};
    while (Clock::now() < deadline) {
      stateSide.Recv();
      stateSide.Get(newest);
      if (reinterpret_cast<unsigned char*>(&newest)[0] == last) break;
    }
    stop = true;
    reader.join();
    expect(reinterpret_cast<unsigned char*>(&newest)[0] == last, "the last record never came");
    expect(torn == 0, std::to_string(torn) + " torn records in " + std::to_string(reads));
    expect(reads > 0, "the reader never ran");
    peer.signal();
    expect(peer.finish(), "publisher failed");
  });
  if (skipped(r)) GTEST_SKIP() << r.out;
  expectClean(r);
}

}  // namespace
