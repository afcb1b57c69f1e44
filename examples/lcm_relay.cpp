// lcm_relay: owns the UDP link to the robot and relays it over LCM.
//
// The command side of the LCM bridge: every 2 ms it publishes the newest
// LowState from the robot on "LCM_Low_State" and forwards the newest LowCmd
// received on "LCM_Low_Cmd" to the robot. lcm_controller, a separate
// process, computes those commands. The relay guards the power it sees; when
// no command has come for 100 ms it sends a damping command instead, so the
// joints slow down rather than follow a stale target. It does the same while
// the robot's state is stale, and stops publishing it then: lcm_controller
// sees the state stop and holds too, until it comes back.
//
// Run:  lcm_relay [--record FILE] [SECONDS]  (default: until Ctrl-C or SIGTERM)
//
// It talks to the basic controller's address, and LCM uses multicast: run it
// on the robot's network, or beside kalvent_sim in a private network
// namespace with that address on lo and multicast routed there
// (./scripts/demo does this). Exits 0 if it relayed commands both ways.
#include <kalvent_legged_sdk.h>

#include <boost/bind/bind.hpp>
#include <cstdio>

#include "example_util.h"

using namespace KALVENT_LEGGED_SDK;

namespace {

const char kProgram[] = "lcm_relay";
const int kStaleTicks = 50;  // relay ticks without a command: 100 ms

class Relay {
 public:
  Relay(UDP& udp, LCM& lcm, Safety& safety) : udp_(udp), lcm_(lcm), safety_(safety) {
    udp_.InitCmdData(damping_);
    example::holdDamping(damping_);
    udp_.SetSend(damping_);
  }

  void Step() {
    // Asked before the state is read: a fresh verdict comes with its packet.
    const bool stale = udp_.linkHealth().stale(example::StateWatch::kStaleSeconds);
    udp_.GetRecv(state_);
    if (stale) ++staleTicks_;
    if (example::hasState(state_) && !stale) lcm_.Send(state_);

    // The bridge zeroes the handler's counter on every command; counting
    // it up here tells the command's age in ticks.
    LCMHandler<LowCmd>& handler = lcm_.lowCmdLCMHandler;
    pthread_mutex_lock(&handler.countMut);
    const int age = ++handler.counter;
    pthread_mutex_unlock(&handler.countMut);
    lcm_.Get(cmd_);

    if (cmd_.levelFlag == LOWLEVEL && age <= kStaleTicks && !stale) {
      // The commands relayed stand the robot up.
      safety_.PowerProtect(cmd_, state_, example::kStandPowerFactor);
      udp_.SetSend(cmd_);
      ++forwarded_;
    } else {
      udp_.SetSend(damping_);
      ++dampingTicks_;
    }
  }

  long forwarded() const { return forwarded_; }
  long dampingTicks() const { return dampingTicks_; }
  long staleTicks() const { return staleTicks_; }

 private:
  UDP& udp_;
  LCM& lcm_;
  Safety& safety_;
  LowCmd cmd_{};
  LowCmd damping_{};
  LowState state_{};
  long forwarded_ = 0;
  long dampingTicks_ = 0;
  long staleTicks_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  example::LowLevelProgram program(kProgram, argc, argv, 0);
  const UDPState& link = program.udp.udpState;
  LCM lcm(LOWLEVEL);
  lcm.SubscribeCmd();
  Relay relay(program.udp, lcm, program.safety);

  {
    LoopFunc lcmRecv("lcm_recv", example::kLoopPeriod, boost::bind(&LCM::Recv, &lcm));
    lcmRecv.start();
    example::runLinkLoops(program.udp, boost::bind(&Relay::Step, &relay), program.seconds, "relay");
  }  // The relay step and the link's loops have stopped; leaving the block stops lcm_recv.

  std::printf(
      "%s: summary forwarded=%ld damping=%ld stale_ticks=%ld sent=%llu received=%llu "
      "checksum_errors=%llu",
      kProgram, relay.forwarded(), relay.dampingTicks(), relay.staleTicks(), link.SendCount,
      link.RecvCount, link.RecvCRCError);
  example::printLinkFigures(program.udp.linkHealth());
  example::printRecordingFigures(program.recorder.get());
  std::printf("\n");
  return relay.forwarded() > 0 && link.RecvCount > 0 ? 0 : 1;
}
