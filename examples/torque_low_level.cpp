// torque_low_level: stands the robot up from lying down by torque alone.
//
// Every motor gets q = PosStopF, dq = VelStopF and Kp = Kd = 0, which switch
// the controller's own position and velocity terms off: only the torque this
// program computes drives the joints. It follows the same two-second ramp
// to the stand pose as stand_low_level, with a PID law computed here each
// tick,
//   tau = Kp (q_ref - q) + Kd (dq_ref - dq) + Ki * integral of (q_ref - q),
// limited to kMaxTorque, below what the motors give (24 N·m at the hip and
// thigh, 36 N·m at the knee). The power guard watches the result;
// PositionLimit is left out, since it would turn the PosStopF markers into
// position targets.
//
// When the state goes stale it sends no torque computed from the old state:
// the joints are held damped. When the state comes back (or the controller
// restarted) the ramp starts again from the measured pose.
//
// Run:  torque_low_level [--record FILE] [SECONDS]  (default 4)
//
// Like stand_low_level it talks to the basic controller's address: run it on
// the robot's network or beside kalvent_sim in a private network namespace.
// Exits 0 if the robot stands: joints at the stand pose, body upright, its
// weight on its feet; 1 if not.
//
// Unlike the other examples it starts its three loops by hand, to show
// what example::LinkLoops does for them.
#include <kalvent_legged_sdk.h>

#include <algorithm>
#include <boost/bind/bind.hpp>
#include <iterator>

#include "example_util.h"

using namespace KALVENT_LEGGED_SDK;

namespace {

const char kProgram[] = "torque_low_level";
// Gains of the law. The loop closes over the network: a state is a few ms
// old by the time its torque acts, so the damping must stay well below the
// controller's own (which acts every motor period) or a light, folded leg
// oscillates. The integral term carries the weight that the soft spring
// alone would leave as a sag of 0.1 to 0.2 rad.
const double kKp = 60;   // N·m/rad
const double kKd = 0.5;  // N·m·s/rad
const double kKi = 80;   // N·m/(rad·s)
// Largest torque the integral term may add, N·m: it cannot wind up.
const double kMaxIntegralTorque = 10;
// Largest torque sent, hip, thigh and calf, N·m.
const double kMaxTorque[3] = {20, 20, 30};

class TorqueController {
 public:
  TorqueController(UDP& udp, Safety& safety) : udp_(udp), safety_(safety) {
    udp_.InitCmdData(cmd_);  // mode 10, PosStopF, VelStopF, no torque
    udp_.SetSend(cmd_);
  }

  void Step() {
    const bool stale = udp_.linkHealth().stale(example::StateWatch::kStaleSeconds);
    udp_.GetRecv(state_);
    const auto restart = [this] {
      motion_.Restart();
      std::fill(std::begin(integral_), std::end(integral_), 0.0);
    };
    if (example::mayCompute(watch_, state_, stale, cmd_, restart)) {
      ApplyTorque();
      safety_.PowerProtect(cmd_, state_, example::kStandPowerFactor);
    }
    udp_.SetSend(cmd_);
  }

  const example::StateWatch& watch() const { return watch_; }

 private:
  void ApplyTorque() {
    example::StandMotion::Reference ref{};
    motion_.Track(state_, ref);
    for (int j = 0; j < 12; ++j) {
      const double q = state_.motorState[j].q;
      const double dq = state_.motorState[j].dq;
      const double limit = kMaxTorque[j % 3];
      const double error = ref.q[j] - q;
      integral_[j] = std::clamp(integral_[j] + kKi * error * example::kLoopPeriod,
                                -kMaxIntegralTorque, kMaxIntegralTorque);
      const double tau = kKp * error + kKd * (ref.dq[j] - dq) + integral_[j];
      MotorCmd& m = cmd_.motorCmd[j];
      m.mode = 10;
      m.q = PosStopF;
      m.dq = VelStopF;
      m.Kp = 0;
      m.Kd = 0;
      m.tau = static_cast<float>(std::clamp(tau, -limit, limit));
    }
  }

  UDP& udp_;
  Safety& safety_;
  example::StandMotion motion_;
  example::StateWatch watch_;
  LowCmd cmd_{};
  LowState state_{};
  double integral_[12] = {};  // the integral term's torque, N·m
};

}  // namespace

int main(int argc, char** argv) {
  example::LowLevelProgram program(kProgram, argc, argv, 4);
  UDP& udp = program.udp;
  TorqueController controller(udp, program.safety);

  LoopStatus control;
  {
    LoopFunc send("udp_send", example::kLoopPeriod, boost::bind(&UDP::Send, &udp));
    LoopFunc recv("udp_recv", example::kLoopPeriod, boost::bind(&UDP::Recv, &udp));
    LoopFunc controlLoop("control", example::kLoopPeriod,
                         boost::bind(&TorqueController::Step, &controller));
    send.start();
    recv.start();
    controlLoop.start();
    example::waitForStop(program.seconds);
    control = controlLoop.status();
  }  // Leaving the block stops the loops, control first.

  return example::finishStand(program, program.newestState(), controller.watch(), control);
}
