// Link health seen through a real endpoint on loopback: the loss estimate
// from the state's tick, the counters kept apart, staleness and the warnings.
#include "kalvent_legged_sdk/link_health.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "udp_peer.h"
#include "wire.h"

namespace sdk = KALVENT_LEGGED_SDK;
using kalvent_test::Bytes;

namespace KALVENT_LEGGED_SDK {

struct LinkHealthTestAccess {
  static void emptyPoll(LinkHealth& health, int64_t now) { health.onEmptyPollAt(now, peer()); }
  static void checksumFailure(LinkHealth& health, int64_t now, int datagrams) {
    health.onChecksumFailureAt(now, datagrams, peer());
  }
  static void accepted(LinkHealth& health, int64_t now, const Bytes& packet, int datagrams) {
    health.onAcceptedAt(now, reinterpret_cast<const char*>(packet.data()),
                        static_cast<int>(packet.size()), datagrams, peer());
  }
  static void replaced(LinkHealth& health, const Bytes& packet) {
    health.onReplaced(reinterpret_cast<const char*>(packet.data()),
                      static_cast<int>(packet.size()));
  }
  static sockaddr_in peer() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    return address;
  }
};

}  // namespace KALVENT_LEGGED_SDK

namespace {

using Access = sdk::LinkHealthTestAccess;

Bytes lowState(uint32_t tick) {
  Bytes packet = kalvent_test::goodPacket(sdk::LOW_STATE_LENGTH, tick);
  kalvent_test::put<uint32_t>(packet, offsetof(sdk::LowState_t, tick), tick);
  kalvent_test::stamp(packet);
  return packet;
}

struct LinkHealthTest : ::testing::Test {
  kalvent_test::Link link{sdk::LOW_CMD_LENGTH, sdk::LOW_STATE_LENGTH};
  const sdk::LinkHealth& health = link.endpoint.linkHealth();

  // Sends state packets and waits until the endpoint's socket has them.
  void sendTicks(std::initializer_list<uint32_t> ticks) {
    for (uint32_t tick : ticks) link.peer.sendTo(link.endpoint.localPort, lowState(tick));
    pollfd queued{link.endpoint.socketFd(), POLLIN, 0};
    poll(&queued, 1, 1000);
  }
};

// About a second of state (tick step 2), one in ten lost, one Recv in nine
// draining two at once (every other time the older of the two corrupted),
// with a corrupted packet and empty polls mixed in: the estimate counts the
// lost and the corrupted packets, the good drained ones are not loss, and
// the failures are counted apart from the empty polls.
TEST_F(LinkHealthTest, EstimatesLossAndKeepsFailuresApartFromEmptyPolls) {
  link.endpoint.linkHealth().setWarnings(false);
  EXPECT_TRUE(std::isnan(health.recentLoss()));
  uint32_t tick = 1000;
  int lost = 0;
  for (int i = 0; i < 325; ++i) {
    tick += 2;
    if (i % 10 == 7) {
      ++lost;
      continue;
    }
    if (i % 10 == 3) {
      Bytes older = lowState(tick);
      if (i % 20 == 3) {
        older[100] ^= 1;
        ++lost;
      }
      link.peer.sendTo(link.endpoint.localPort, older);
      sendTicks({tick + 2});
      tick += 2;
      ++i;
    } else {
      sendTicks({tick});
    }
    ASSERT_EQ(link.endpoint.Recv(), 0);
    if (i % 50 == 0) link.endpoint.Recv();  // nothing queued
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  Bytes corrupted = lowState(tick + 2);
  corrupted[100] ^= 1;
  link.peer.sendTo(link.endpoint.localPort, corrupted);
  pollfd queued{link.endpoint.socketFd(), POLLIN, 0};
  poll(&queued, 1, 1000);
  EXPECT_EQ(link.endpoint.Recv(), -3);

  const double truth = lost / 325.0;
  EXPECT_NEAR(health.recentLoss(), truth, 0.02);
  EXPECT_NEAR(health.overallLoss(), truth, 0.01);
  EXPECT_EQ(health.checksumFailures(), 1u);
  EXPECT_EQ(health.emptyPolls(), 7u);
  EXPECT_EQ(health.validPackets(), link.endpoint.udpState.RecvCount);
  EXPECT_EQ(health.emptyPolls() + health.checksumFailures(), link.endpoint.udpState.RecvCRCError);

  // A packet held back behind the next is no restart; a tick from 0 is.
  sendTicks({tick - 4});
  EXPECT_EQ(link.endpoint.Recv(), 0);
  EXPECT_EQ(health.tickRestarts(), 0u);
  sendTicks({2});
  EXPECT_EQ(link.endpoint.Recv(), 0);
  EXPECT_EQ(health.tickRestarts(), 1u);
  EXPECT_TRUE(std::isnan(health.overallLoss()));
}

// A controller at RATE Hz stamping a millisecond tick that starts just
// below the wrap at 2^32, LOSS of its packets lost and as many again
// corrupted, read by a program that drains DRAIN packet periods' worth per
// Recv, all on a simulated clock: both estimates stay within 2 points of the
// true loss, corrupted packets included, from the first second on; and a
// silent second reads 100 %.
struct LossCase {
  int rateHz;
  int drain;
  int lossPercent;
};

class LossEstimate : public ::testing::TestWithParam<LossCase> {};

TEST_P(LossEstimate, FollowsTheTruthAndReadsASilentWindowAsAllLost) {
  const LossCase c = GetParam();
  sdk::LinkHealth health;
  health.setWarnings(false);
  const double periodNs = 1e9 / c.rateHz;
  const int64_t recvEveryNs = std::llround(c.drain * periodNs);
  const uint32_t firstTick = 0xFFFFFFFFu - 700;
  uint64_t random = 0x9E3779B97F4A7C15ull * static_cast<uint64_t>(c.rateHz * 131 + c.drain);
  auto percentDraw = [&random] {
    random = random * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<int>((random >> 33) % 100);
  };
  int64_t sentCount = 0;
  int64_t lostCount = 0;
  int64_t windowSent = 0;
  int64_t windowLost = 0;
  const int64_t endNs = 3000000000;
  for (int64_t now = recvEveryNs; now <= endNs; now += recvEveryNs) {
    int arrived = 0;
    bool newestCorrupt = false;
    uint32_t newestTick = 0;
    for (; sentCount * periodNs <= static_cast<double>(now); ++sentCount) {
      const int draw = percentDraw();
      const bool lost = draw < c.lossPercent;
      // Corrupted in one Recv of its own, as Recv judges only the newest.
      const bool corrupt = !lost && draw < 2 * c.lossPercent && arrived == 0;
      lostCount += lost || corrupt ? 1 : 0;
      if (now > endNs - 1000000000) {
        ++windowSent;
        windowLost += lost || corrupt ? 1 : 0;
      }
      if (lost) continue;
      if (arrived > 0) Access::replaced(health, lowState(newestTick));
      ++arrived;
      newestCorrupt = corrupt;
      newestTick = firstTick + static_cast<uint32_t>(std::llround(sentCount * periodNs / 1e6));
      if (corrupt) {
        ++sentCount;
        break;
      }
    }
    if (arrived == 0) {
      Access::emptyPoll(health, now);
    } else if (newestCorrupt) {
      Access::checksumFailure(health, now, arrived);
    } else {
      Access::accepted(health, now, lowState(newestTick), arrived);
    }
    if (now >= 1000000000) {
      ASSERT_FALSE(std::isnan(health.recentLoss())) << now;
    }
  }
  const double overall = static_cast<double>(lostCount) / static_cast<double>(sentCount);
  const double recent = static_cast<double>(windowLost) / static_cast<double>(windowSent);
  EXPECT_EQ(health.tickRestarts(), 0u);  // the wrap is no restart
  EXPECT_NEAR(health.overallLoss(), overall, 0.02);
  // The window's edges fall between packets: one on either side.
  EXPECT_NEAR(health.recentLoss(), recent, 0.02 + 2.0 / static_cast<double>(windowSent));

  for (int64_t now = endNs; now <= endNs + 1200000000; now += 1000000) {
    Access::emptyPoll(health, now);
  }
  EXPECT_EQ(health.recentLoss(), 1.0);
}

std::vector<LossCase> lossCases() {
  std::vector<LossCase> cases;
  for (int rate : {50, 300, 400, 600, 650, 850, 950, 1000}) {
    for (int drain : {1, 2, 3}) {
      for (int loss : {0, 5, 15}) cases.push_back({rate, drain, loss});
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(RatesDrainsAndLosses, LossEstimate, ::testing::ValuesIn(lossCases()),
                         [](const ::testing::TestParamInfo<LossCase>& info) {
                           return std::to_string(info.param.rateHz) + "Hz_drain" +
                                  std::to_string(info.param.drain) + "_loss" +
                                  std::to_string(2 * info.param.lossPercent);
                         });

// The wait lasts its timeout (a lower bound, which load cannot break), a
// bad timeout is refused at once with a line on stderr, and an infinite
// one ends when the state comes.
// A packet reordered inside one Recv's drain shows three datagrams over a
// single tick: the first estimate of the step comes out far too short. No
// later advance fits it, so the step is learnt afresh and the estimate
// recovers (400 Hz, nothing lost).
TEST(LinkHealthStep, RecoversFromAShortFirstEstimate) {
  sdk::LinkHealth health;
  health.setWarnings(false);
  const int64_t periodNs = 2500000;
  Access::accepted(health, periodNs, lowState(0), 1);
  Access::accepted(health, 2 * periodNs, lowState(3), 1);
  Access::accepted(health, 3 * periodNs, lowState(4), 3);
  for (int k = 4; k <= 800; ++k) {
    const auto tick = static_cast<uint32_t>(std::llround(k * 2.5));
    Access::accepted(health, k * periodNs, lowState(tick), 1);
  }
  EXPECT_NEAR(health.recentLoss(), 0.0, 0.02);
}

TEST_F(LinkHealthTest, TellsTheStateAgeAndWaitsForTheFirstState) {
  link.endpoint.linkHealth().setWarnings(false);
  EXPECT_FALSE(health.anyValid());
  EXPECT_TRUE(std::isinf(health.stateAge()));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(health.waitForFirstState(0.05));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));

  const kalvent_test::ChildResult refusals = kalvent_test::runInChild(
      [this] {
        dup2(STDOUT_FILENO, STDERR_FILENO);
        const bool waited = health.waitForFirstState(std::nan("")) || health.waitForFirstState(-1);
        std::printf("waited %d\n", waited);
        std::fflush(stdout);
      },
      10);
  EXPECT_TRUE(refusals.exited && refusals.status == 0) << refusals.out;
  EXPECT_NE(refusals.out.find("waited 0"), std::string::npos) << refusals.out;
  EXPECT_NE(refusals.out.find("waitForFirstState(nan): the timeout must be"), std::string::npos)
      << refusals.out;
  EXPECT_NE(refusals.out.find("waitForFirstState(-1): the timeout must be"), std::string::npos)
      << refusals.out;

  std::thread receiver([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    sendTicks({10});
    kalvent_test::recvUntilStored(link.endpoint);
  });
  EXPECT_TRUE(health.waitForFirstState(HUGE_VAL));
  receiver.join();
  EXPECT_FALSE(health.stale(1.0));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_TRUE(health.stale(0.02));
  EXPECT_GE(health.stateAge(), 0.03);
}

// The warnings, each once, on stderr (redirected into the child's captured
// output), and none once turned off.
TEST(LinkHealthWarnings, NameThePeerOnceAndCanBeTurnedOff) {
  for (bool enabled : {true, false}) {
    const kalvent_test::ChildResult child = kalvent_test::runInChild([enabled] {
      dup2(STDOUT_FILENO, STDERR_FILENO);
      kalvent_test::Link link(sdk::LOW_CMD_LENGTH, sdk::LOW_STATE_LENGTH);
      link.endpoint.linkHealth().setWarnings(enabled);
      std::printf("peer port %u\n", link.peer.port());
      for (int i = 0; i < 3; ++i) {
        link.endpoint.Send();
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
      }
      link.deliver(lowState(2));
      std::this_thread::sleep_for(std::chrono::milliseconds(120));
      link.endpoint.Recv();
      link.endpoint.Recv();
      link.deliver(lowState(4));
      std::fflush(stdout);
    });
    ASSERT_TRUE(child.exited && child.status == 0) << child.out;
    const size_t at = child.out.find("peer port ") + 10;
    const std::string port = child.out.substr(at, child.out.find('\n', at) - at);
    const std::string peer = "127.0.0.1:" + port;
    auto count = [&child](const std::string& text) {
      size_t n = 0;
      for (size_t at = child.out.find(text); at != std::string::npos;
           at = child.out.find(text, at + 1)) {
        ++n;
      }
      return n;
    };
    const size_t expected = enabled ? 1 : 0;
    EXPECT_EQ(count("no valid packet from " + peer), expected) << child.out;
    EXPECT_EQ(count("call SetSend before starting the send loop"), expected) << child.out;
    EXPECT_EQ(count(peer + " is stale"), expected) << child.out;
    EXPECT_EQ(count(peer + " is back"), expected) << child.out;
  }
}

}  // namespace
