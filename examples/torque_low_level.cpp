// torque_low_level: pure torque control of the twelve leg joints.
//
// Every motor gets q = PosStopF and dq = VelStopF, which switch the
// controller's own position and velocity terms off, so that only the torque
// this program computes drives the joints: a virtual spring-damper towards
// the stand pose, tau = k (q_stand - q) - d dq, limited to +-kMaxTorque.
// The power guard watches the result; PositionLimit is left out, since it
// would turn the PosStopF markers into position targets.
//
// Run:  torque_low_level [SECONDS]    (default 4)
//
// Like stand_low_level it talks to the basic controller's address: run it on
// the robot's network or beside kalvent_sim in a private network namespace.
// Exits 0 if the joints settled at the stand pose.
//
// Unlike the other examples it starts its three loops by hand, to show
// what example::LinkLoops does for them.
#include <kalvent_legged_sdk.h>

#include <algorithm>
#include <boost/bind/bind.hpp>

#include "example_util.h"

using namespace KALVENT_LEGGED_SDK;

namespace {

const char kProgram[] = "torque_low_level";
const float kStiffness = 30;  // k, N·m/rad
const float kDamping = 1.5f;  // d, N·m·s/rad
const float kMaxTorque = 4;   // N·m
const int kPowerFactor = 4;   // x 100 W

class TorqueController {
 public:
  TorqueController(UDP& udp, Safety& safety) : udp_(udp), safety_(safety) {
    udp_.InitCmdData(cmd_);  // mode 10, PosStopF, VelStopF, no torque
    udp_.SetSend(cmd_);
  }

  void Step() {
    udp_.GetRecv(state_);
    if (example::hasState(state_)) {
      for (int j = 0; j < 12; ++j) {
        const float q = state_.motorState[j].q;
        const float dq = state_.motorState[j].dq;
        const float target = static_cast<float>(example::kStandPose[j % 3]);
        const float tau = kStiffness * (target - q) - kDamping * dq;
        cmd_.motorCmd[j].tau = std::clamp(tau, -kMaxTorque, kMaxTorque);
      }
      safety_.PowerProtect(cmd_, state_, kPowerFactor);
    }
    udp_.SetSend(cmd_);
  }

 private:
  UDP& udp_;
  Safety& safety_;
  LowCmd cmd_{};
  LowState state_{};
};

}  // namespace

int main(int argc, char** argv) {
  const double seconds = example::setUp(argc, argv, 4);
  example::setUpRealtime(kProgram);

  UDP udp(LOWLEVEL);
  const auto recorder = example::startRecording(udp);  // with --record FILE
  Safety safety(LeggedType::Tesmar);
  TorqueController controller(udp, safety);

  {
    LoopFunc send("udp_send", 0.002f, boost::bind(&UDP::Send, &udp));
    LoopFunc recv("udp_recv", 0.002f, boost::bind(&UDP::Recv, &udp));
    LoopFunc control("control", 0.002f, boost::bind(&TorqueController::Step, &controller));
    send.start();
    recv.start();
    control.start();
    example::waitForStop(seconds);
  }  // Leaving the block stops the loops, control first.

  LowState state{};
  udp.GetRecv(state);
  const double error = example::standError(state);
  example::printSummary(kProgram, error, udp);
  return example::reportStanding(kProgram, error);
}
