// The control thread, the send thread and the receive thread meeting in an
// endpoint as fast as they can: no packet may go out or be read half-written.
// Bounded in count and time; the ThreadSanitizer build checks the rest.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "kalvent_legged_sdk.h"
#include "udp_peer.h"

namespace sdk = KALVENT_LEGGED_SDK;
using kalvent_test::Bytes;
using kalvent_test::get;
using kalvent_test::Link;
using kalvent_test::put;
using Clock = std::chrono::steady_clock;

namespace {

// The threads of a low-level control program on one endpoint, with a
// controller that checks every command and answers it with a state numbered
// like it: the control thread checks every state it reads.
TEST(Concurrency, NoPacketGoesOutOrIsReadHalfWritten) {
  Link link(610, 771);
  sdk::LowCmd cmd{};
  const auto setCommand = [&](uint32_t number) {
    cmd.SN = number;
    for (sdk::MotorCmd& motor : cmd.motorCmd) {
      motor.q = number;
      motor.tau = (number % 256) * 0.5f - 64.0f;
    }
    link.endpoint.SetSend(cmd);
  };
  // Before the sender starts: on a busy machine a queue of packets of zeros
  // could keep the controller from ever seeing a command.
  setCommand(1);
  std::atomic<bool> stop{false};
  std::thread sender([&] {
    for (int i = 0; i < 1000000 && !stop; ++i) link.endpoint.Send();
  });
  std::thread receiver([&] {
    for (int i = 0; i < 1000000 && !stop; ++i) link.endpoint.Recv();
  });
  int commands = 0;
  int brokenCommands = 0;
  std::thread controller([&] {
    Bytes state(771);
    for (int i = 0; i < 1000000 && !stop; ++i) {
      const Bytes cmd = link.peer.receive(200);
      if (cmd.empty() || cmd == Bytes(610, 0)) continue;  // none, or before the first SetSend
      const uint32_t number = get<uint32_t>(cmd, 5);
      bool whole = get<uint32_t>(cmd, 606) == kalvent_test::checksumOf(cmd);
      for (int k = 0; k < 20; ++k) whole = whole && get<float>(cmd, 11 + 27 * k) == number;
      ++commands;
      brokenCommands += whole ? 0 : 1;
      put<uint32_t>(state, 719, number);                                    // tick
      for (int k = 0; k < 20; ++k) put<float>(state, 64 + 32 * k, number);  // q
      for (int leg = 0; leg < 4; ++leg) put<int16_t>(state, 711 + 2 * leg, number);
      kalvent_test::stamp(state);
      link.peer.sendTo(link.endpoint.localPort, state);
    }
  });

  int states = 0;
  int brokenStates = 0;
  sdk::LowState state;
  const auto deadline = Clock::now() + std::chrono::milliseconds(1500);
  for (uint32_t i = 2; i <= 1000000 && Clock::now() < deadline; ++i) {
    setCommand(i);
    link.endpoint.GetRecv(state);
    if (state.tick == 0) continue;
    ++states;
    bool whole = true;
    for (const sdk::MotorState& motor : state.motorState) whole = whole && motor.q == state.tick;
    for (int leg = 0; leg < 4; ++leg) {
      whole = whole && state.footForceEst[leg] == static_cast<int16_t>(state.tick);
    }
    brokenStates += whole ? 0 : 1;
  }
  stop = true;
  sender.join();
  receiver.join();
  controller.join();
  EXPECT_EQ(brokenCommands, 0);
  EXPECT_EQ(brokenStates, 0);
  EXPECT_GT(commands, 0);
  EXPECT_GT(states, 0);
}

// Two low-level endpoints, each driven by a thread of its own, encode and
// decode at once: each thread must only ever see its own packets.
TEST(Concurrency, EndpointsOnDifferentThreadsShareNothing) {
  Link links[2] = {Link(610, 771), Link(610, 771)};
  sdk::LowCmd cmds[2]{};
  Bytes expected[2];
  for (uint32_t e = 0; e < 2; ++e) {
    cmds[e].SN = e + 1;
    for (sdk::MotorCmd& motor : cmds[e].motorCmd) motor.q = motor.tau = 10.0f * (e + 1);
    links[e].endpoint.SetSend(cmds[e]);
    expected[e] = links[e].sent();
    Bytes state(771, 0);
    put<uint32_t>(state, 719, e + 1);                                       // tick
    for (int k = 0; k < 20; ++k) put<float>(state, 64 + 32 * k, e + 1.0f);  // q
    kalvent_test::stamp(state);
    ASSERT_TRUE(links[e].deliver(state));
  }
  int wrong[2] = {0, 0};
  const auto drive = [&](int e) {
    sdk::LowState state;
    unsigned char sent[1024];
    const auto deadline = Clock::now() + std::chrono::seconds(1);
    for (int i = 0; i < 20000 && Clock::now() < deadline; ++i) {
      links[e].endpoint.SetSend(cmds[e]);
      links[e].endpoint.GetRecv(state);
      bool own = state.tick == static_cast<uint32_t>(e + 1);
      for (const sdk::MotorState& motor : state.motorState) own = own && motor.q == e + 1.0f;
      links[e].endpoint.Send();
      own = own && links[e].peer.receiveInto(sent, sizeof sent) == expected[e].size() &&
            std::memcmp(sent, expected[e].data(), expected[e].size()) == 0;
      wrong[e] += own ? 0 : 1;
    }
  };
  std::thread other(drive, 1);
  drive(0);
  other.join();
  EXPECT_EQ(wrong[0], 0);
  EXPECT_EQ(wrong[1], 0);
}

}  // namespace
