// damped_stop: a protection that hands control back instead of ending the
// program.
//
// It stands the robot up as stand_low_level does, then swings the front
// right hip outward until the position check trips: the measured angle
// passes the hip's range narrowed by a margin. The check returns a report
// (printed on its own line) instead of ending the process, and the program
// keeps its link running and commands a damped stop: no position target, no
// torque, only damping, so the robot sinks and comes to rest.
//
// Run:  damped_stop [--record FILE] [SECONDS]  (default 15: the longest it waits)
//
// Like stand_low_level it talks to the basic controller's address (the
// robot's network, or kalvent_sim in a private network namespace). It exits
// 0 once the trip was reported and all twelve joints have stayed still for
// half a second; 1 if that did not happen within SECONDS.
#include <kalvent_legged_sdk.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "example_util.h"

using namespace KALVENT_LEGGED_SDK;

namespace {

const char kProgram[] = "damped_stop";
// The position check's margin, rad: the stand pose keeps well inside the
// ranges narrowed by it, the swung hip does not.
const double kTripMargin = 0.3;
// After standing this long, s, the hip starts to swing...
const double kSwingStart = 2.5;
// ... at this speed, rad/s, outward (negative for a right hip).
const double kSwingSpeed = -0.6;
// Damping of the stop, N·m·s/rad.
const float kStopKd = 3;
// A joint slower than this is still, rad/s ...
const double kStillSpeed = 0.02;
// ... and the robot lies still once every joint was, this long, s.
const double kStillSeconds = 0.5;

const char* kindName(TripReport::Kind kind) {
  switch (kind) {
    case TripReport::Kind::Position:
      return "position";
    case TripReport::Kind::Power:
      return "power";
    case TripReport::Kind::InvalidLimit:
      return "invalid limit";
    case TripReport::Kind::None:
      break;
  }
  return "none";
}

class Controller {
 public:
  enum class Phase { Standing, Stopping, Still };

  Controller(UDP& udp, Safety& safety) : udp_(udp), safety_(safety) {
    udp_.InitCmdData(cmd_);
    udp_.SetSend(cmd_);
  }

  // One control tick on the control loop's thread.
  void Step() {
    udp_.GetRecv(state_);
    if (!example::hasState(state_)) return;
    const auto now = std::chrono::steady_clock::now();
    if (phase_ == Phase::Standing) {
      stand(now);
    } else {
      dampedStop(now);
    }
    udp_.SetSend(cmd_);
  }

  // Read by the main thread; trip() only once phase() has left Standing.
  Phase phase() const { return phase_; }
  const TripReport& trip() const { return trip_; }

 private:
  void stand(std::chrono::steady_clock::time_point now) {
    if (!started_) {
      start_ = now;
      started_ = true;
    }
    motion_.Step(state_, cmd_);
    const double t = std::chrono::duration<double>(now - start_).count();
    if (t > kSwingStart) {
      const float swing = static_cast<float>(kSwingSpeed * (t - kSwingStart));
      cmd_.motorCmd[FR_0].q += swing;
      cmd_.motorCmd[FR_0].dq = static_cast<float>(kSwingSpeed);
    }
    safety_.PositionLimit(cmd_);
    TripReport trip = safety_.checkPower(cmd_, state_, example::kStandPowerFactor);
    if (trip.kind == TripReport::Kind::None && t > kSwingStart) {
      trip = safety_.checkPosition(cmd_, state_, kTripMargin);
    }
    if (trip.kind == TripReport::Kind::None) return;
    trip_ = trip;
    stillSince_ = now;
    phase_ = Phase::Stopping;
    dampedStop(now);
  }

  // No position target, no torque: the joints are only damped.
  void dampedStop(std::chrono::steady_clock::time_point now) {
    example::holdDamping(cmd_, kStopKd);
    bool moving = false;
    for (int j = 0; j < 12; ++j) {
      // Written as "not slow" so that a NaN velocity counts as moving.
      moving = moving || !(std::fabs(state_.motorState[j].dq) < kStillSpeed);
    }
    if (moving) stillSince_ = now;
    if (std::chrono::duration<double>(now - stillSince_).count() >= kStillSeconds) {
      phase_ = Phase::Still;
    }
  }

  UDP& udp_;
  Safety& safety_;
  example::StandMotion motion_;
  LowCmd cmd_{};
  LowState state_{};
  bool started_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point stillSince_;
  TripReport trip_;
  std::atomic<Phase> phase_{Phase::Standing};
};

}  // namespace

int main(int argc, char** argv) {
  example::LowLevelProgram program(kProgram, argc, argv, 15);
  Controller controller(program.udp, program.safety);
  {
    example::LinkLoops loops(program.udp, [&controller] { controller.Step(); });
    example::waitForStop(program.seconds,
                         [&controller] { return controller.phase() == Controller::Phase::Still; });
  }  // Leaving the block stops the loops, control first.

  const Controller::Phase phase = controller.phase();
  if (phase == Controller::Phase::Standing) {
    std::fprintf(stderr, "%s: no check tripped\n", kProgram);
    return 1;
  }
  const TripReport& trip = controller.trip();
  std::printf("%s: trip: %s joint %d measured %.4f limit %.4f (%s)\n", kProgram,
              kindName(trip.kind), trip.joint, trip.measured, trip.limit,
              trip.kind == TripReport::Kind::Power ? "W" : "rad");
  if (phase != Controller::Phase::Still) {
    std::fprintf(stderr, "%s: the robot did not come to rest\n", kProgram);
    return 1;
  }
  std::printf("%s: lying still: every joint under %.2f rad/s for %.1f s\n", kProgram, kStillSpeed,
              kStillSeconds);
  return 0;
}
