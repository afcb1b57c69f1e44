// lcm_controller: stands the robot up through lcm_relay.
//
// The state side of the LCM bridge: it reads the LowState that lcm_relay
// publishes, computes the same standing motion as stand_low_level, clamps
// the targets into the joint ranges and publishes the LowCmd back, every
// 2 ms. It needs no access to the robot's network, only to LCM.
//
// lcm_relay stops publishing the state while the robot's is stale, so a
// state whose tick stands still is stale here: this program then publishes
// a damping command instead, and when the state moves again (or the
// controller restarted: the tick fell back, the pose jumped) it starts the
// stand motion again from the measured pose.
//
// Run:  lcm_controller [SECONDS]      (default: until Ctrl-C or SIGTERM)
//
// Start lcm_relay first. LCM uses multicast: run both where it is routed
// (./scripts/demo runs them in a private network namespace). At the end it
// prints a summary line and exits 0 if the robot stands (joints at the
// stand pose, body upright, its weight on its feet, as the relayed state
// shows them), 1 if not.
#include <kalvent_legged_sdk.h>

#include <boost/bind/bind.hpp>
#include <cstdio>

#include "example_util.h"

using namespace KALVENT_LEGGED_SDK;

namespace {

const char kProgram[] = "lcm_controller";

class Controller {
 public:
  explicit Controller(LCM& lcm) : lcm_(lcm), safety_(LeggedType::Tesmar) {
    cmd_.levelFlag = LOWLEVEL;
    for (int j = 0; j < 20; ++j) {
      cmd_.motorCmd[j].mode = 10;
      cmd_.motorCmd[j].q = PosStopF;
      cmd_.motorCmd[j].dq = VelStopF;
    }
  }

  void Step() {
    lcm_.Get(state_);
    if (!example::hasState(state_)) return;  // nothing relayed yet
    if (example::mayCompute(watch_, state_, false, cmd_, [this] { motion_.Restart(); })) {
      motion_.Step(state_, cmd_);
      safety_.PositionLimit(cmd_);
    }
    lcm_.Send(cmd_);
    ++published_;
  }

  long published() const { return published_; }
  const example::StateWatch& watch() const { return watch_; }

 private:
  LCM& lcm_;
  Safety safety_;
  example::StandMotion motion_;
  example::StateWatch watch_;
  LowCmd cmd_{};
  LowState state_{};
  long published_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const double seconds = example::setUp(argc, argv, 0);
  if (!example::recordPath.empty()) {
    std::fprintf(stderr,
                 "lcm_controller: no UDP endpoint to record here: give --record to lcm_relay, or "
                 "record the bridge with lcm-logger\n");
    return 2;
  }

  LCM lcm(LOWLEVEL);
  lcm.SubscribeState();
  Controller controller(lcm);

  LoopStatus controlStatus;
  {
    LoopFunc lcmRecv("lcm_recv", example::kLoopPeriod, boost::bind(&LCM::Recv, &lcm));
    lcmRecv.start();
    controlStatus = example::runControlLoop([&controller] { controller.Step(); }, seconds);
  }  // The control loop has stopped; leaving the block stops lcm_recv.

  LowState state{};
  lcm.Get(state);
  const example::StandVerdict verdict = example::judgeStand(state);
  std::printf("%s: summary max_error_rad=%.5f published=%ld", kProgram, verdict.jointError,
              controller.published());
  example::endSummary(controller.watch(), &controlStatus, verdict.body, nullptr);
  return example::reportStanding(kProgram, verdict);
}
