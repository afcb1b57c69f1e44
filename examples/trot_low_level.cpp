// trot_low_level: stands the robot up, trots forward for five seconds and
// stands still, all of it computed in this program at the low level.
//
// The gait is written the way a user writes one on top of the library:
// the leg kinematics (LegKinematics) turns foot positions into joint
// angles and foot forces into joint torques, a LowStateLoop answers each
// state packet at once, the Safety guards check each command, and link
// health tells a stale state. The trot: diagonal pairs FR+RL and FL+RR
// swing in turn, period 0.3 s; stance feet slide backwards under the body
// at the commanded speed, swing feet follow a raised curve to half a
// stance's travel ahead of the hip, corrected by the speed error (Raibert's
// rule). The joints follow the feet on their position loops, and each
// stance leg adds the torque that carries its share of the weight (Jᵀf).
//
// The state has no body position, so the program estimates how far it went
// from its legs: the speed of the stance feet relative to the trunk, turned
// into the world by the IMU's heading (leg odometry).
//
// Run:  trot_low_level [--record FILE] [SECONDS]  (default 9: 2 to stand, 5 to trot)
//
// It talks to the basic controller's address, so run it on the robot's
// network, or beside kalvent_sim in a private network namespace that has
// that address. It exits 0 when the body ends upright with its weight on its
// feet and its legs say it went at least 1 m forward; 1 if not.
#include <kalvent_legged_sdk.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "example_util.h"

using namespace KALVENT_LEGGED_SDK;

namespace {

const char kProgram[] = "trot_low_level";
const int kPowerFactor = 8;  // x 100 W: a trot needs more than a stand
const double kTrotSeconds = 5;
const double kSpeed = 0.5;           // m/s, forward
const double kGaitPeriod = 0.3;      // s
const double kFootRaise = 0.06;      // m
const double kPlacementGain = 0.05;  // m of foot offset per m/s of speed error
const float kKp = 80, kKd = 2;       // the joints' position loops while trotting
const double kGoalMetres = 1.0;

bool swingsFirst(int leg) {
  return leg == FR_ || leg == RL_;
}

Vec3 jointsOf(const LowState& state, int leg, bool speed) {
  Vec3 v;
  for (int k = 0; k < 3; ++k) {
    const MotorState& m = state.motorState[3 * leg + k];
    v[k] = speed ? m.dq : m.q;
  }
  return v;
}

class Trot {
 public:
  explicit Trot(Safety& safety) : safety_(safety) {
    for (int leg = 0; leg < 4; ++leg) {
      nominal_[leg] = legs_.footPosition(
          leg, {example::kStandPose[0], example::kStandPose[1], example::kStandPose[2]});
    }
  }

  void Step(LowState& state, LowCmd& cmd, const StateTick& tick) {
    const bool lost = tick.stateAge > example::StateWatch::kStaleSeconds;
    if (tick.stale && !lost) return;  // a late packet: the last command again
    const auto restart = [this] {
      // The controller restarted: the robot lies again; stand up anew.
      stand_ = example::StandMotion();
      trotStarted_ = false;
      trotting_ = false;
    };
    if (!example::mayCompute(watch_, state, lost, cmd, restart)) return;
    const auto now = std::chrono::steady_clock::now();
    if (!stand_.Step(state, cmd)) return;
    if (!trotStarted_) {
      example::StandMotion::Reference ref{};
      stand_.Track(state, ref);
      if (ref.dq[1] == 0 && example::bodyOf(state).upright()) {
        trotStarted_ = true;
        trotting_ = true;
        trotStart_ = now;
        last_ = now;
        for (int leg = 0; leg < 4; ++leg) feet_[leg] = nominal_[leg];
      }
    } else {
      const double t = std::chrono::duration<double>(now - trotStart_).count();
      const double dt = std::clamp(std::chrono::duration<double>(now - last_).count(), 0.0, 0.01);
      last_ = now;
      if (trotting_) TrotStep(state, cmd, t, dt);
    }
    safety_.PositionLimit(cmd);
    safety_.PowerProtect(cmd, state, kPowerFactor);
    safety_.PositionProtect(cmd, state, example::kStopMargin);
  }

  double distance() const { return distance_; }
  bool trotted() const { return trotStarted_; }
  const example::StateWatch& watch() const { return watch_; }

 private:
  void TrotStep(const LowState& state, LowCmd& cmd, double t, double dt) {
    // Walking for five seconds; then the pair in the air lands, and the
    // stand motion holds the robot.
    const bool walking = t < kTrotSeconds;
    const double half = kGaitPeriod / 2;
    const double cycle = std::fmod(t, kGaitPeriod);
    const bool firstHalf = cycle < half;
    const double progress = std::fmod(t, half) / half;
    const double speed = walking ? kSpeed : 0;

    // Leg odometry: a foot that carries weight stays on the ground, so the
    // trunk moves at minus its speed relative to the trunk; the feet count
    // by the weight they carry.
    double measured = 0, load = 0;
    for (int leg = 0; leg < 4; ++leg) {
      const double force = std::max<double>(0, state.footForce[leg]);
      const Vec3 q = jointsOf(state, leg, false);
      // The trunk's pitching moves the foot too: the part of its speed that
      // is the trunk turning about y is not travel.
      const double turning = state.imu.gyroscope[1] * legs_.footPosition(leg, q)[2];
      measured -= force * (legs_.footVelocity(leg, q, jointsOf(state, leg, true))[0] + turning);
      load += force;
    }
    if (load > 0) measured /= load;
    speedEstimate_ += (measured - speedEstimate_) * std::min(1.0, dt / 0.05);
    const double yaw = state.imu.rpy[2];
    distance_ += speedEstimate_ * std::cos(yaw) * dt;

    if (!walking && progress < lastProgress_) {
      trotting_ = false;
      return;
    }
    for (int leg = 0; leg < 4; ++leg) {
      const bool swing = swingsFirst(leg) == firstHalf;
      Vec3& foot = feet_[leg];
      if (swing) {
        if (progress < lastProgress_) liftOff_[leg] = foot;  // a new swing began
        const double landing =
            nominal_[leg][0] + speed * half / 2 + kPlacementGain * (speedEstimate_ - speed);
        const double s = progress * progress * (3 - 2 * progress);
        foot[0] = liftOff_[leg][0] + (landing - liftOff_[leg][0]) * s;
        foot[1] = nominal_[leg][1];
        foot[2] = nominal_[leg][2] + kFootRaise * std::sin(example::kPi * progress);
      } else {
        foot[0] -= speed * dt;
        foot[2] = nominal_[leg][2];
      }
      Vec3 q = jointsOf(state, leg, false);
      legs_.inverseKinematics(leg, foot, q);
      // A stance leg carries half the weight (two feet on the ground).
      const Vec3 tau = swing ? Vec3{0, 0, 0}
                             : legs_.jointTorques(leg, jointsOf(state, leg, false),
                                                  {0, 0, -example::kRobotWeight / 2});
      for (int k = 0; k < 3; ++k) {
        MotorCmd& m = cmd.motorCmd[3 * leg + k];
        m.mode = 10;
        m.q = static_cast<float>(q[k]);
        m.dq = 0;
        m.tau = static_cast<float>(tau[k]);
        m.Kp = kKp;
        m.Kd = kKd;
      }
    }
    lastProgress_ = progress;
  }

  Safety& safety_;
  const LegKinematics legs_;
  example::StandMotion stand_;
  example::StateWatch watch_;
  Vec3 nominal_[4];
  Vec3 feet_[4];
  Vec3 liftOff_[4];
  bool trotStarted_ = false;
  bool trotting_ = false;
  double lastProgress_ = 1;
  double speedEstimate_ = 0;  // m/s, forward, body frame
  double distance_ = 0;       // m, along the world's x
  std::chrono::steady_clock::time_point trotStart_, last_;
};

}  // namespace

int main(int argc, char** argv) {
  example::LowLevelProgram program(kProgram, argc, argv, 9);
  Trot trot(program.safety);
  LowState state{};
  example::runLowStateLoop(
      program.udp, state,
      [&trot](LowState& s, LowCmd& c, const StateTick& t) { trot.Step(s, c, t); }, program.seconds);

  const example::Body body = example::bodyOf(state);
  const UDPState& link = program.udp.udpState;
  std::printf("%s: summary distance_m=%.3f sent=%llu received=%llu", kProgram, trot.distance(),
              link.SendCount, link.RecvCount);
  example::endSummary(trot.watch(), nullptr, body, program.recorder.get());
  if (!example::reportHasState(kProgram, state)) return 1;
  const bool stands = example::reportBody(kProgram, body);
  const bool far = trot.distance() >= kGoalMetres;
  std::printf("%s: %s: the legs count %.2f m forward (goal %.1f m)\n", kProgram,
              stands && far ? "trotted" : "did NOT trot as commanded", trot.distance(),
              kGoalMetres);
  return stands && far ? 0 : 1;
}
