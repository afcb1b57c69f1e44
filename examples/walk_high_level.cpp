// walk_high_level: once the robot stands, walks forward, then forward while
// turning, then stands still, printing the body position and heading the
// controller reports.
//
// A high-level program needs no real-time set-up: the controller runs the
// gait, this program only sends speeds (HighCmd) and reads the body state
// (HighState), every 2 ms on three loops.
//
// Run:  walk_high_level [--record FILE] [SECONDS]  (default 8)
//
// The first walk command stands a lying robot up: the walk's four seconds
// start when the state shows it standing.
//
// It talks to the basic controller's address: run it on the robot's network
// or beside kalvent_sim in a private network namespace with that address.
// It judges what the high-level state shows: it exits 0 when the body ends
// upright with its weight on its feet, and its reported position and
// heading are where the commanded speeds should have taken it (reckoned
// again from the measured pose after a controller restart); 1 if not.
#include <kalvent_legged_sdk.h>

#include <boost/bind/bind.hpp>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "example_util.h"

using namespace KALVENT_LEGGED_SDK;

namespace {

const char kProgram[] = "walk_high_level";
// Motion mode numbers are the controller's own; 1 asks it to stand, 2 to
// walk.
const uint8_t kStandMode = 1;
const uint8_t kWalkMode = 2;
// Walking lasts this long from when the robot first stands, s; it turns
// over the second half.
const double kWalkSeconds = 4;
// The robot stands once upright with its weight on its feet and its body
// within this of the commanded height (bodyHeight 0), m.
const double kStandHeightTolerance = 0.03;
const int kPrintEvery = 250;  // control ticks: half a second
// The body has followed the commanded speeds while its position and
// heading stay this close to where they should have taken it, m and rad.
const double kTrackToleranceM = 0.15;
const double kTrackToleranceRad = 0.15;

struct Pose {
  double x = 0, y = 0, yaw = 0;  // m, m, rad
};

Pose measuredPose(const HighState& state) {
  return {state.forwardPosition, state.sidePosition, state.imu.rpy[2]};
}

// How far `measured` is from `expected`: distance, m, and heading, rad.
double distance(const Pose& a, const Pose& b) {
  return std::hypot(a.x - b.x, a.y - b.y);
}
double headingError(const Pose& a, const Pose& b) {
  return std::fabs(std::remainder(a.yaw - b.yaw, 2 * example::kPi));
}

class Walker {
 public:
  explicit Walker(UDP& udp) : udp_(udp) {
    udp_.InitCmdData(cmd_);
    udp_.SetSend(cmd_);
  }

  // One control tick. While the state is fresh and the robot stands, the
  // program keeps, beside the commands, the pose they should lead to: the
  // commanded speeds integrated from the pose measured when it (again)
  // stood. While the state is stale it asks for no motion; once it resumes
  // (the controller restarted: its odometry starts again, the robot lies
  // down) the reckoning starts again once the robot stands.
  void Step() {
    const bool stale = udp_.linkHealth().stale(example::StateWatch::kStaleSeconds);
    udp_.GetRecv(state_);
    const auto now = std::chrono::steady_clock::now();
    bool walk = false;
    switch (watch_.Check(state_, stale)) {
      case example::StateWatch::Verdict::NoState:
      case example::StateWatch::Verdict::Stale:
      case example::StateWatch::Verdict::Resumed:
        tracking_ = false;
        up_ = false;
        break;
      case example::StateWatch::Verdict::Fresh:
        up_ = up_ || Stands();
        if (up_) {
          if (!started_) walkStart_ = now;
          started_ = true;
          Reckon(std::chrono::duration<double>(now - lastStep_).count());
          walk = true;
        }
        break;
    }
    lastStep_ = now;
    const double t = started_ ? std::chrono::duration<double>(now - walkStart_).count() : 0;
    const bool walking = walk && t < kWalkSeconds;
    cmd_.mode = started_ && t >= kWalkSeconds ? kStandMode : kWalkMode;
    cmd_.bodyHeight = 0;
    cmd_.forwardSpeed = walking ? 0.4f : 0;  // m/s
    cmd_.sideSpeed = 0;
    cmd_.rotateSpeed = walking && t >= kWalkSeconds / 2 ? 0.8f : 0;  // rad/s, to the left
    udp_.SetSend(cmd_);
    if (++ticks_ % kPrintEvery == 0) Print(t);
  }

  void Print(double t) const {
    std::printf("%s: t=%4.1f s  x=%6.3f m  y=%6.3f m  yaw=%6.3f rad  mode=%d tick=%u\n", kProgram,
                t, state_.forwardPosition, state_.sidePosition, state_.imu.rpy[2], state_.mode,
                state_.tick);
  }

  // Where the commands should have taken the body; valid when tracking().
  const Pose& expected() const { return expected_; }
  bool tracking() const { return tracking_; }
  const example::StateWatch& watch() const { return watch_; }

 private:
  // In the commanded mode (while the controller stands the robot up it
  // reports another), upright, carried, at the commanded height.
  bool Stands() const {
    const example::Body body = example::bodyOf(state_);
    return state_.mode == cmd_.mode && body.upright() && body.carried() &&
           std::fabs(state_.bodyHeight - cmd_.bodyHeight) <= kStandHeightTolerance;
  }

  // Moves the expected pose on by the speeds commanded over the last
  // `seconds`, or starts it at the measured pose.
  void Reckon(double seconds) {
    if (!tracking_) {
      expected_ = measuredPose(state_);
      tracking_ = true;
      return;
    }
    const double heading = expected_.yaw + cmd_.rotateSpeed * seconds / 2;
    expected_.x +=
        (cmd_.forwardSpeed * std::cos(heading) - cmd_.sideSpeed * std::sin(heading)) * seconds;
    expected_.y +=
        (cmd_.forwardSpeed * std::sin(heading) + cmd_.sideSpeed * std::cos(heading)) * seconds;
    expected_.yaw += cmd_.rotateSpeed * seconds;
  }

  UDP& udp_;
  HighCmd cmd_{};
  HighState state_{};
  example::StateWatch watch_;
  Pose expected_;
  bool tracking_ = false;
  bool up_ = false;       // stood since the state (re)started
  bool started_ = false;  // the walk's clock runs
  long ticks_ = 0;
  std::chrono::steady_clock::time_point walkStart_;
  std::chrono::steady_clock::time_point lastStep_ = std::chrono::steady_clock::now();
};

}  // namespace

int main(int argc, char** argv) {
  const double seconds = example::setUp(argc, argv, 8);

  UDP udp(HIGHLEVEL);
  const auto recorder = example::startRecording(udp);  // with --record FILE
  Walker walker(udp);

  const LoopStatus control =
      example::runLinkLoops(udp, boost::bind(&Walker::Step, &walker), seconds);

  HighState state{};
  udp.GetRecv(state);
  const example::Body body = example::bodyOf(state);
  const Pose measured = measuredPose(state);
  const double offM = walker.tracking() ? distance(measured, walker.expected()) : NAN;
  const double offRad = walker.tracking() ? headingError(measured, walker.expected()) : NAN;
  std::printf(
      "%s: summary x=%.3f y=%.3f yaw=%.3f sent=%llu received=%llu checksum_errors=%llu"
      " track_error_m=%.3f track_error_rad=%.3f",
      kProgram, state.forwardPosition, state.sidePosition, state.imu.rpy[2], udp.udpState.SendCount,
      udp.udpState.RecvCount, udp.udpState.RecvCRCError, offM, offRad);
  example::endSummary(walker.watch(), &control, body, recorder.get());
  if (!example::reportHasState(kProgram, state)) return 1;
  const bool bodyStands = example::reportBody(kProgram, body);
  const bool tracked = offM <= kTrackToleranceM && offRad <= kTrackToleranceRad;
  std::printf(
      "%s: %s: %.3f m and %.3f rad from where the commanded speeds lead (tolerance %.2f m,"
      " %.2f rad)\n",
      kProgram, bodyStands && tracked ? "walked" : "did NOT walk as commanded", offM, offRad,
      kTrackToleranceM, kTrackToleranceRad);
  return bodyStands && tracked ? 0 : 1;
}
