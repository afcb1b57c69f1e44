// The control thread, the send thread and the receive thread meeting in an
// endpoint as fast as they can: no packet may go out or be read half-written.
// Bounded in count and time; the ThreadSanitizer build checks the rest.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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
  sdk::LowCmd cmd{};
  sdk::LowState state;
  const auto deadline = Clock::now() + std::chrono::milliseconds(1500);
  for (uint32_t i = 1; i <= 1000000 && Clock::now() < deadline; ++i) {
    cmd.SN = i;
    for (sdk::MotorCmd& motor : cmd.motorCmd) {
      motor.q = i;
      motor.tau = (i % 256) * 0.5f - 64.0f;
    }
    link.endpoint.SetSend(cmd);
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

}  // namespace
