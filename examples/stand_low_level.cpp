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
// Run:  stand_low_level [SECONDS]     (default: until Ctrl-C or SIGTERM)
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
// The power limit, x 100 W; standing up needs a small part of it.
const int kPowerFactor = 4;
// A measured angle closer than this to its joint's stop ends the program, rad.
const double kStopMargin = 0.05;

class Controller {
 public:
  Controller(UDP& udp, Safety& safety) : udp_(udp), safety_(safety) {
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
    switch (watch_.Check(state_, stale)) {
      case example::StateWatch::Verdict::NoState:
        break;
      case example::StateWatch::Verdict::Stale:
        // No guard either: they judge the command by a state that is gone.
        example::holdDamping(cmd_);
        break;
      case example::StateWatch::Verdict::Resumed:
        motion_.Restart();
        [[fallthrough]];
      case example::StateWatch::Verdict::Fresh:
        motion_.Step(state_, cmd_);
        safety_.PositionLimit(cmd_);
        safety_.PowerProtect(cmd_, state_, kPowerFactor);
        safety_.PositionProtect(cmd_, state_, kStopMargin);
        break;
    }
    udp_.SetSend(cmd_);
  }

  const example::StateWatch& watch() const { return watch_; }

 private:
  UDP& udp_;
  Safety& safety_;
  example::StandMotion motion_;
  example::StateWatch watch_;
  LowCmd cmd_{};
  LowState state_{};
};

}  // namespace

int main(int argc, char** argv) {
  const double seconds = example::setUp(argc, argv, 0);
  example::setUpRealtime(kProgram);

  UDP udp(LOWLEVEL, HighLevelType::Basic);
  const auto recorder = example::startRecording(udp);  // with --record FILE
  Safety safety(LeggedType::Tesmar);
  Controller controller(udp, safety);

  LoopStatus control;
  {
    example::LinkLoops loops(udp, [&controller] { controller.Step(); });
    example::waitForStop(seconds);
    control = loops.controlStatus();
  }  // Leaving the block stops the loops, control first.

  LowState state{};
  udp.GetRecv(state);
  const example::StandVerdict verdict = example::judgeStand(state);
  example::printSummary(kProgram, verdict, udp, &controller.watch(), control);
  return example::reportStanding(kProgram, verdict);
}
