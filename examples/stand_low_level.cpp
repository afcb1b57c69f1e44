// stand_low_level: stands the robot up from lying down and holds it there.
//
// The canonical low-level program: real-time set-up when allowed, the
// default low-level endpoint, three 2 ms loops (control, UDP send, UDP
// receive), and the safety guards on every command. Once the first state has
// arrived it moves all twelve leg joints smoothly from where they are to the
// stand pose in two seconds, then holds them there.
//
// When the state goes stale (the controller fell silent) it stops computing
// from the old state and holds the joints damped; when the state comes back,
// or the controller restarted (its tick fell back, the pose jumped), it
// starts the stand motion again from the measured pose.
//
// Run:  stand_low_level [--record FILE] [SECONDS]  (default: until Ctrl-C or SIGTERM)
//
// It talks to the basic controller's address, so run it on the robot's
// network, or beside kalvent_sim in a private network namespace that has
// that address (./scripts/demo does this). With the right to lock memory and
// use SCHED_FIFO (root) it runs real-time; otherwise it says so and runs
// without. At the end it prints a summary line and exits 0 if the robot
// stands: joints at the stand pose, body upright, its weight on its feet;
// 1 if not (stderr says "fallen: ..." when the body is not upright).
#include <kalvent_legged_sdk.h>

#include "example_util.h"

using namespace KALVENT_LEGGED_SDK;

namespace {

const char kProgram[] = "stand_low_level";

class Controller {
 public:
  Controller(UDP& udp, Safety& safety) : udp_(udp), stand_(safety) {
    udp_.InitCmdData(cmd_);
    // Until the first control step, the send loop repeats this idle
    // command (no torque) rather than an empty packet.
    udp_.SetSend(cmd_);
  }

  // One control tick: newest state in, guarded command out. Staleness is
  // asked before the state is read, so a fresh verdict comes with the
  // packet that made it fresh.
  void Step() {
    const bool stale = udp_.linkHealth().stale(example::StateWatch::kStaleSeconds);
    udp_.GetRecv(state_);
    stand_.Step(state_, cmd_, stale);
    udp_.SetSend(cmd_);
  }

  const example::StateWatch& watch() const { return stand_.watch(); }

 private:
  UDP& udp_;
  example::GuardedStand stand_;
  LowCmd cmd_{};
  LowState state_{};
};

}  // namespace

int main(int argc, char** argv) {
  example::LowLevelProgram program(kProgram, argc, argv, 0);
  Controller controller(program.udp, program.safety);
  const LoopStatus control = example::runLinkLoops(
      program.udp, [&controller] { controller.Step(); }, program.seconds);
  return example::finishStand(program, program.newestState(), controller.watch(), control);
}
