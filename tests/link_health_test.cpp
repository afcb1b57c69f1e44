// Link health seen through a real endpoint on loopback: the loss estimate
// from the state's tick, the counters kept apart, staleness and the warnings.
#include "kalvent_legged_sdk/link_health.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "test_support.h"
#include "udp_peer.h"
#include "wire.h"

namespace sdk = KALVENT_LEGGED_SDK;
using kalvent_test::Bytes;

namespace {

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
// draining two at once, with a corrupted packet and empty polls mixed
// in: the estimate reads 10 %, the drained packets are not loss, and the
// failures are counted apart from the empty polls.
TEST_F(LinkHealthTest, EstimatesLossAndKeepsFailuresApartFromEmptyPolls) {
  link.endpoint.linkHealth().setWarnings(false);
  EXPECT_TRUE(std::isnan(health.recentLoss()));
  uint32_t tick = 1000;
  for (int i = 0; i < 325; ++i) {
    tick += 2;
    if (i % 10 == 7) continue;
    if (i % 10 == 3) {
      sendTicks({tick, tick + 2});
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

  EXPECT_NEAR(health.recentLoss(), 0.10, 0.02);
  EXPECT_NEAR(health.overallLoss(), 0.10, 0.01);
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

TEST_F(LinkHealthTest, TellsTheStateAgeAndWaitsForTheFirstState) {
  link.endpoint.linkHealth().setWarnings(false);
  EXPECT_FALSE(health.anyValid());
  EXPECT_TRUE(std::isinf(health.stateAge()));
  EXPECT_FALSE(health.waitForFirstState(0.05));

  std::thread receiver([this] {
    sendTicks({10});
    kalvent_test::recvUntilStored(link.endpoint);
  });
  EXPECT_TRUE(health.waitForFirstState(5));
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
