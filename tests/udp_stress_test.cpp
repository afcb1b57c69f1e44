// The control thread, the send thread and the receive thread meeting in one
// endpoint, as fast as they can: no packet may go out or be read half-written.
// Bounded in count and time; the ThreadSanitizer build is what checks the rest.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "kalvent_legged_sdk.h"
#include "udp_comm.h"
#include "udp_peer.h"

namespace sdk = KALVENT_LEGGED_SDK;
using kalvent_test::Bytes;
using kalvent_test::get;
using kalvent_test::Link;
using kalvent_test::put;
using Clock = std::chrono::steady_clock;

namespace {

const auto kBusyFor = std::chrono::milliseconds(1500);

TEST(Concurrency, SetSendAgainstSendNeverSendsAHalfWrittenPacket) {
  Link link(610, 771);
  std::atomic<bool> controlDone{false};
  std::atomic<bool> sendDone{false};
  const auto deadline = Clock::now() + kBusyFor;

  std::thread control([&] {
    sdk::LowCmd cmd{};
    link.endpoint.InitCmdData(cmd);
    for (uint32_t i = 1; i <= 100000 && Clock::now() < deadline; ++i) {
      cmd.SN = i;
      for (sdk::MotorCmd& motor : cmd.motorCmd) {
        motor.q = static_cast<float>(i);
        motor.tau = static_cast<float>(i % 256) * 0.5f - 64.0f;
      }
      link.endpoint.SetSend(cmd);
    }
    controlDone = true;
  });
  std::thread sender([&] {
    for (int i = 0; i < 400000 && !controlDone; ++i) link.endpoint.Send();
    sendDone = true;
  });

  int checked = 0;
  int broken = 0;
  const auto giveUp = deadline + std::chrono::seconds(10);
  while (Clock::now() < giveUp) {
    const Bytes packet = link.peer.receive(200);
    if (packet.empty()) {
      if (sendDone) break;
      continue;
    }
    if (packet == Bytes(610, 0)) continue;  // sent before the first SetSend
    ++checked;
    bool whole =
        packet.size() == 610 && get<uint32_t>(packet, 606) == kalvent_test::checksumOf(packet);
    // Every slot carries the command's number as q.
    const auto number = static_cast<float>(get<uint32_t>(packet, 5));
    for (size_t k = 0; whole && k < 20; ++k) whole = get<float>(packet, 10 + 27 * k + 1) == number;
    if (!whole) ++broken;
  }
  control.join();
  sender.join();
  EXPECT_EQ(broken, 0);
  EXPECT_GT(checked, 0);
}

Bytes statePacket(uint32_t number) {
  Bytes p(771);
  put<uint32_t>(p, 719, number);
  for (size_t k = 0; k < 20; ++k) put<float>(p, 63 + 32 * k + 1, static_cast<float>(number));
  for (size_t leg = 0; leg < 4; ++leg) put<int16_t>(p, 711 + 2 * leg, static_cast<int16_t>(number));
  put<uint32_t>(p, 767, sdk::crc32(reinterpret_cast<uint32_t*>(p.data()), sdk::crcWords(771)));
  return p;
}

TEST(Concurrency, RecvAgainstGetRecvNeverReadsAHalfWrittenPacket) {
  Link link(610, 771);
  std::atomic<bool> peerDone{false};
  std::atomic<bool> receiveDone{false};
  const auto deadline = Clock::now() + kBusyFor;

  std::thread peer([&] {
    for (uint32_t i = 1; i <= 30000 && Clock::now() < deadline; ++i) {
      link.peer.sendTo(link.endpoint.localPort, statePacket(i));
    }
    peerDone = true;
  });
  std::thread receiver([&] {
    for (int i = 0; i < 1000000 && !peerDone; ++i) link.endpoint.Recv();
    link.endpoint.Recv();
    receiveDone = true;
  });

  int checked = 0;
  int broken = 0;
  uint32_t newest = 0;
  for (int i = 0; i < 10000000 && !receiveDone; ++i) {
    sdk::LowState state;
    link.endpoint.GetRecv(state);
    if (state.tick == 0) continue;
    ++checked;
    bool whole = state.tick >= newest;
    newest = state.tick;
    for (const sdk::MotorState& motor : state.motorState) {
      whole = whole && motor.q == static_cast<float>(state.tick);
    }
    for (int leg = 0; leg < 4; ++leg) {
      whole = whole && state.footForceEst[leg] == static_cast<int16_t>(state.tick);
    }
    if (!whole) ++broken;
  }
  peer.join();
  receiver.join();
  EXPECT_EQ(broken, 0);
  EXPECT_GT(checked, 0);
  EXPECT_GT(link.endpoint.udpState.RecvCount, 0u);
}

TEST(Concurrency, SendStartsReachingTheClientOnceRecvConnectsIt) {
  kalvent_test::Peer client;
  sdk::UDP endpoint(kalvent_test::freePort(), 0, 16, 16);
  std::atomic<bool> stop{false};
  const auto deadline = Clock::now() + std::chrono::seconds(5);

  std::thread sender([&] {
    while (!stop && Clock::now() < deadline) {
      if (endpoint.Send() != 0) break;
    }
  });
  std::thread receiver([&] {
    while (!stop && Clock::now() < deadline && endpoint.Recv() != 0) {
    }
  });
  client.sendTo(endpoint.localPort, kalvent_test::goodPacket(16, 1));
  const Bytes answer = client.receive(5000);
  stop = true;
  sender.join();
  receiver.join();
  EXPECT_EQ(answer.size(), 16u);
  EXPECT_EQ(endpoint.udpState.RecvCount, 1u);
  EXPECT_GE(endpoint.udpState.SendCount, 1u);
}

}  // namespace
