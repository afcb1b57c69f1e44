// Helpers the example programs share: how long to run, stopping on SIGINT or
// SIGTERM, the real-time set-up when it is allowed, the start of a low-level
// program, the three loops of a program that owns the link, the standing
// motion, riding through a lost link, the summary line, and the verdict on
// the robot: its joints, and its body upright on its feet.
#pragma once

#include <kalvent_legged_sdk.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <boost/bind/bind.hpp>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace example {

using namespace KALVENT_LEGGED_SDK;

inline std::atomic<bool> stopRequested{false};

inline void onStopSignal(int) {
  stopRequested = true;
}

// The file named by the option --record FILE; empty without it.
inline std::string recordPath;

// The run time in seconds from the only optional argument: `fallback` when
// it is absent, 0 meaning "until SIGINT or SIGTERM". `--record FILE` may
// come before it (see startRecording). Exits with status 2 on anything
// else. From here on SIGINT and SIGTERM end waitForStop instead of
// the process, so that the program can stop its loops and report, and
// standard output is line-buffered, so that a log shows each line at once.
inline double setUp(int argc, char** argv, double fallback) {
  double seconds = fallback;
  std::vector<char*> args(argv, argv + argc);
  if (args.size() > 2 && std::string(args[1]) == "--record") {
    recordPath = args[2];
    args.erase(args.begin() + 1, args.begin() + 3);
  }
  if (args.size() > 1) {
    char* end = nullptr;
    const bool onlySeconds = args.size() == 2;
    seconds = onlySeconds ? std::strtod(args[1], &end) : -1;
    if (!onlySeconds || *end != '\0' || !(seconds >= 0 && seconds < 1e6)) {
      std::fprintf(stderr,
                   "usage: %s [--record FILE] [SECONDS]  (0: run until SIGINT or SIGTERM)\n",
                   argv[0]);
      std::exit(2);
    }
  }
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  return seconds;
}

// With --record FILE: a recorder of `udp`'s exchange into FILE (see
// recorder.h); keep it until the loops have stopped. Without: null. Exits
// with status 2 when the file cannot be made.
inline std::unique_ptr<Recorder> startRecording(UDP& udp) {
  if (recordPath.empty()) return nullptr;
  try {
    auto recorder = std::make_unique<Recorder>(recordPath);
    recorder->attach(udp);
    return recorder;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    std::exit(2);
  }
}

// Returns after `seconds` (0: no limit), as soon as a stop signal came, or
// once `finished` (when given) says the program's work is done.
inline void waitForStop(double seconds, const std::function<bool()>& finished = nullptr) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!stopRequested && !(finished && finished()) &&
         (seconds <= 0 || std::chrono::steady_clock::now() < end)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Makes the process real-time when allowed, and says which it is. Without
// the right, TryInitEnvironment has said why on stderr; run without.
inline void setUpRealtime(const char* program) {
  const RealtimeReport report = TryInitEnvironment();
  if (report.memoryLocked && report.fifoScheduling) {
    std::printf("%s: real-time: memory locked, loops at SCHED_FIFO priority %d\n", program,
                report.priority);
  } else {
    std::printf("%s: not real-time: no right to lock memory or use SCHED_FIFO (run as root)\n",
                program);
  }
}

// What a low-level program that owns the link starts with, in this order:
// its run time from the command line (see setUp), the real-time set-up when
// allowed (see setUpRealtime), the default low-level endpoint (the basic
// controller's address) with a recorder under --record FILE (see
// startRecording), and the robot's safety guards.
struct LowLevelProgram {
  LowLevelProgram(const char* name, int argc, char** argv, double fallbackSeconds)
      : name(name),
        seconds(startUp(name, argc, argv, fallbackSeconds)),
        recorder(startRecording(udp)) {}

  const char* const name;
  const double seconds;  // 0: until SIGINT or SIGTERM
  UDP udp{LOWLEVEL};
  const std::unique_ptr<Recorder> recorder;  // null without --record
  Safety safety{LeggedType::Tesmar};

  // The newest state the endpoint holds; read once the loops have stopped.
  LowState newestState() {
    LowState state{};
    udp.GetRecv(state);
    return state;
  }

 private:
  static double startUp(const char* name, int argc, char** argv, double fallbackSeconds) {
    const double seconds = setUp(argc, argv, fallbackSeconds);
    setUpRealtime(name);
    return seconds;
  }
};

// Period of every loop in the examples, s.
const float kLoopPeriod = 0.002f;

// The three loops of a program that owns the UDP link: send, receive and
// its own control step, every 2 ms. They start on construction in that
// order; leaving the scope stops them, the control step first.
class LinkLoops {
 public:
  LinkLoops(UDP& udp, const Callback& control, const char* controlName = "control")
      : send_("udp_send", kLoopPeriod, boost::bind(&UDP::Send, &udp)),
        recv_("udp_recv", kLoopPeriod, boost::bind(&UDP::Recv, &udp)),
        control_(controlName, kLoopPeriod, control) {
    send_.start();
    recv_.start();
    control_.start();
  }

  LoopStatus controlStatus() const { return control_.status(); }

 private:
  LoopFunc send_;
  LoopFunc recv_;
  LoopFunc control_;  // destroyed, so stopped, first
};

const double kPi = 3.141592653589793;

// Joint angles of the stand pose for hip, thigh and calf, rad (every leg).
const double kStandPose[3] = {0.0, 0.67, -1.3};
// Largest joint error, rad, at which the robot counts as standing.
const double kStandTolerance = 0.05;

// GetRecv gives all zeros until the first state packet; the controller's
// tick is never 0 in a packet. For LowState and HighState.
template <typename State>
bool hasState(const State& state) {
  return state.tick != 0;
}

// Largest distance of the twelve measured leg joints from the stand pose,
// rad; NaN before the first state.
inline double standError(const LowState& state) {
  if (!hasState(state)) return NAN;
  double worst = 0;
  for (int j = 0; j < 12; ++j) {
    worst = std::fmax(worst, std::fabs(state.motorState[j].q - kStandPose[j % 3]));
  }
  return worst;
}

// Moves the twelve leg joints from where they are at the first state to the
// stand pose along a cosine ramp, then holds them there.
class StandMotion {
 public:
  static constexpr double kRiseSeconds = 2.0;
  // Stiff enough that the legs carry the robot's weight, and the splay of
  // legs that stood up from lying sideways, within kStandTolerance.
  static constexpr float kKp = 200;  // N·m/rad
  static constexpr float kKd = 5;    // N·m·s/rad

  // Where each joint should be now, rad, and how fast it should move, rad/s.
  struct Reference {
    double q[12];
    double dq[12];
  };

  // Fills `ref` for the current time. Returns false, leaving `ref` alone,
  // until a state has arrived; the first state fixes where the ramp starts.
  bool Track(const LowState& state, Reference& ref) {
    if (!hasState(state)) return false;
    const auto now = std::chrono::steady_clock::now();
    if (!started_) {
      for (int j = 0; j < 12; ++j) from_[j] = state.motorState[j].q;
      start_ = now;
      started_ = true;
    }
    const double t = std::chrono::duration<double>(now - start_).count();
    const double phase = kPi * std::fmin(t / kRiseSeconds, 1.0);
    const double s = (1 - std::cos(phase)) / 2;  // 0 -> 1
    const double ds = t < kRiseSeconds ? kPi / (2 * kRiseSeconds) * std::sin(phase) : 0;
    for (int j = 0; j < 12; ++j) {
      const double travel = kStandPose[j % 3] - from_[j];
      ref.q[j] = from_[j] + s * travel;
      ref.dq[j] = ds * travel;
    }
    return true;
  }

  // Writes position targets with the gains above into `cmd` for the current
  // time. Returns false, leaving `cmd` alone, until a state has arrived.
  bool Step(const LowState& state, LowCmd& cmd) {
    Reference ref;
    if (!Track(state, ref)) return false;
    for (int j = 0; j < 12; ++j) {
      MotorCmd& m = cmd.motorCmd[j];
      m.mode = 10;
      m.q = static_cast<float>(ref.q[j]);
      m.dq = static_cast<float>(ref.dq[j]);
      m.tau = 0;
      m.Kp = kKp;
      m.Kd = kKd;
    }
    return true;
  }

  // Starts the ramp again, from where the joints are at the next Step.
  void Restart() { started_ = false; }

 private:
  bool started_ = false;
  double from_[12] = {};
  std::chrono::steady_clock::time_point start_;
};

// Damping of a joint held without a target, N·m·s/rad.
const float kHoldKd = 2;

// The leg joints without position target or torque, only damped by `kd`
// (N·m·s/rad): what a program sends when it has no state to compute from.
inline void holdDamping(LowCmd& cmd, float kd = kHoldKd) {
  for (int j = 0; j < 12; ++j) {
    MotorCmd& m = cmd.motorCmd[j];
    m.mode = 10;
    m.q = static_cast<float>(PosStopF);
    m.dq = 0;
    m.tau = 0;
    m.Kp = 0;
    m.Kd = kd;
  }
}

// Decides, each control tick, whether the state in hand may be computed
// from. The state is stale when the link says so, or when its tick stopped
// moving (a program that gets the state second-hand, over LCM, sees only
// that). A controller that came back is told by a tick that fell back far,
// by a jump in the pose, or simply by the state turning fresh after it went
// stale: in each case the motion must start again from the measured pose.
// A low-level state's pose is its twelve joints, a high-level state's the
// body's position and heading.
class StateWatch {
 public:
  static constexpr double kStaleSeconds = 0.1;
  // Larger than any joint (rad) or the body (m, rad) moves between two
  // state packets.
  static constexpr double kPoseJump = 0.3;

  enum class Verdict {
    NoState,  // nothing received yet
    Stale,    // hold: do not compute from this state
    Resumed,  // fresh again, or the controller restarted: restart the motion
    Fresh,    // compute from it
  };

  // `linkStale`: the link's own verdict (false when not known). For
  // LowState and HighState.
  template <typename State>
  Verdict Check(const State& state, bool linkStale) {
    if (!hasState(state)) return Verdict::NoState;
    float pose[kPoseValues] = {};
    poseOf(state, pose);
    return check(state.tick, pose, linkStale);
  }

  // Episodes of stale state, and times the motion had to start again.
  long staleEpisodes() const { return staleEpisodes_; }
  long resumptions() const { return resumptions_; }

 private:
  // The pose a state shows: the twelve leg joints, rad, or the body's
  // position, m, and heading, rad.
  static constexpr int kPoseValues = 12;
  static void poseOf(const LowState& state, float (&pose)[kPoseValues]) {
    for (int j = 0; j < 12; ++j) pose[j] = state.motorState[j].q;
  }
  static void poseOf(const HighState& state, float (&pose)[kPoseValues]) {
    pose[0] = state.forwardPosition;
    pose[1] = state.sidePosition;
    pose[2] = state.imu.rpy[2];
  }

  Verdict check(uint32_t tick, const float (&pose)[kPoseValues], bool linkStale) {
    const auto now = std::chrono::steady_clock::now();
    const bool tickMoved = tick != lastTick_;
    const bool fellBack = tickMoved && static_cast<int32_t>(tick - lastTick_) <
                                           -static_cast<int32_t>(LinkHealth::kRestartTicks);
    if (tickMoved) tickChanged_ = now;
    lastTick_ = tick;
    const bool stale =
        linkStale || std::chrono::duration<double>(now - tickChanged_).count() > kStaleSeconds;
    if (stale) {
      if (!holding_) ++staleEpisodes_;
      holding_ = true;
      return Verdict::Stale;
    }
    bool jumped = false;
    for (int j = 0; j < kPoseValues; ++j) {
      // Modulo a turn: a heading passing pi is no jump.
      jumped = jumped || std::fabs(std::remainder(pose[j] - lastPose_[j], 2 * kPi)) > kPoseJump;
      lastPose_[j] = pose[j];
    }
    const bool resumed = holding_ || (seen_ && (fellBack || jumped));
    holding_ = false;
    seen_ = true;
    if (!resumed) return Verdict::Fresh;
    ++resumptions_;
    return Verdict::Resumed;
  }

  uint32_t lastTick_ = 0;
  std::chrono::steady_clock::time_point tickChanged_ = std::chrono::steady_clock::now();
  float lastPose_[kPoseValues] = {};
  bool seen_ = false;
  bool holding_ = false;
  long staleEpisodes_ = 0;
  long resumptions_ = 0;
};

// What every low-level control step does with `watch`'s verdict on `state`
// (`linkStale`: the link's own verdict): nothing before the first state;
// while the state is stale, the joints held damped in `cmd`, without the
// guards (they judge a command by a state that is gone). Returns whether the
// step computes its command from the state: when it is fresh, after calling
// `restart` if the motion must start again from the measured pose.
template <typename Restart>
bool mayCompute(StateWatch& watch, const LowState& state, bool linkStale, LowCmd& cmd,
                Restart restart) {
  switch (watch.Check(state, linkStale)) {
    case StateWatch::Verdict::NoState:
      return false;
    case StateWatch::Verdict::Stale:
      holdDamping(cmd);
      return false;
    case StateWatch::Verdict::Resumed:
      restart();
      return true;
    case StateWatch::Verdict::Fresh:
      return true;
  }
  return false;
}

// The power limit of a stand, x 100 W; standing up needs a small part of it.
const int kStandPowerFactor = 4;
// A measured angle closer than this to its joint's stop ends the program, rad.
const double kStopMargin = 0.05;

// The stand of the low-level programs, guarded, on the verdict of its
// StateWatch (see mayCompute): on a fresh state the stand motion, from the
// measured pose again after a resumption, and the position limit, power and
// position guards.
class GuardedStand {
 public:
  explicit GuardedStand(Safety& safety) : safety_(safety) {}

  // Writes `cmd` for `state`; `linkStale`: the link's own verdict.
  void Step(LowState& state, LowCmd& cmd, bool linkStale) {
    if (!mayCompute(watch_, state, linkStale, cmd, [this] { motion_.Restart(); })) return;
    motion_.Step(state, cmd);
    safety_.PositionLimit(cmd);
    safety_.PowerProtect(cmd, state, kStandPowerFactor);
    safety_.PositionProtect(cmd, state, kStopMargin);
  }

  const StateWatch& watch() const { return watch_; }

 private:
  Safety& safety_;
  StandMotion motion_;
  StateWatch watch_;
};

// The link's figures as key=value fields for a summary line: valid packets,
// empty polls and checksum failures apart, controller restarts, and the loss
// estimates in percent (nan while not measurable).
inline void printLinkFigures(const LinkHealth& health) {
  std::printf(
      " valid=%llu empty_polls=%llu crc_failures=%llu tick_restarts=%llu loss_pct=%.2f"
      " overall_loss_pct=%.2f",
      static_cast<unsigned long long>(health.validPackets()),
      static_cast<unsigned long long>(health.emptyPolls()),
      static_cast<unsigned long long>(health.checksumFailures()),
      static_cast<unsigned long long>(health.tickRestarts()), health.recentLoss() * 100,
      health.overallLoss() * 100);
}

// The watch's figures as key=value fields for a summary line.
inline void printWatchFigures(const StateWatch& watch) {
  std::printf(" stale_episodes=%ld resumptions=%ld", watch.staleEpisodes(), watch.resumptions());
}

// The robot's mass, kg, and the weight its feet carry when it stands, N.
const double kRobotMass = 10.8;
const double kRobotWeight = kRobotMass * 9.81;
// The body is upright while |roll| and |pitch| stay below this, rad.
const double kUprightLimit = 0.35;
// The feet carry the robot while the sum of their forces (footForce, N)
// is within this share of its weight: the load shifts between the feet,
// and a robot lying on its belly or back has next to none on them.
const double kLoadTolerance = 0.25;

// What a state shows of the trunk: its tilt from the IMU, and the weight on
// the feet. NaN where the state does not tell (no state yet, or an IMU
// quaternion far from unit length), which counts as neither upright nor
// carried.
struct Body {
  double roll = NAN;      // rad
  double pitch = NAN;     // rad
  double footLoad = NAN;  // N, the four feet together

  bool upright() const {
    return std::fabs(roll) < kUprightLimit && std::fabs(pitch) < kUprightLimit;
  }
  bool carried() const {
    return std::fabs(footLoad - kRobotWeight) <= kLoadTolerance * kRobotWeight;
  }
};

// The body a LowState or HighState shows. Roll and pitch come from the
// quaternion (w, x, y, z: trunk to world), which unlike rpy holds the whole
// orientation; a robot on its back reads a roll near pi.
template <typename State>
Body bodyOf(const State& state) {
  Body body;
  if (!hasState(state)) return body;
  const double w = state.imu.quaternion[0], x = state.imu.quaternion[1],
               y = state.imu.quaternion[2], z = state.imu.quaternion[3];
  const double norm = w * w + x * x + y * y + z * z;
  if (std::fabs(norm - 1) < 0.1) {
    body.roll = std::atan2(2 * (w * x + y * z), w * w - x * x - y * y + z * z);
    body.pitch = std::asin(std::clamp(2 * (w * y - z * x) / norm, -1.0, 1.0));
  }
  body.footLoad = 0;
  for (int leg = 0; leg < 4; ++leg) body.footLoad += state.footForce[leg];
  return body;
}

// The body's figures as key=value fields for a summary line.
inline void printBodyFigures(const Body& body) {
  std::printf(" roll_rad=%.3f pitch_rad=%.3f foot_load_n=%.1f", body.roll, body.pitch,
              body.footLoad);
}

// Says on stdout how the body is, and on stderr what is wrong with it.
// Returns whether it stands: upright, its weight on its feet.
inline bool reportBody(const char* program, const Body& body) {
  std::printf(
      "%s: body: roll %.3f rad, pitch %.3f rad (limit %.2f); feet carry %.1f N of %.1f N"
      " (tolerance %.0f %%)\n",
      program, body.roll, body.pitch, kUprightLimit, body.footLoad, kRobotWeight,
      kLoadTolerance * 100);
  if (!body.upright()) {
    std::fprintf(stderr, "%s: fallen: roll %.3f rad, pitch %.3f rad\n", program, body.roll,
                 body.pitch);
  }
  if (!body.carried()) {
    std::fprintf(stderr, "%s: the feet carry %.1f N, not the robot's weight of %.1f N\n", program,
                 body.footLoad, kRobotWeight);
  }
  return body.upright() && body.carried();
}

// The verdict on a stand: the joints at the stand pose, and the body upright
// on its feet.
struct StandVerdict {
  double jointError;  // rad, NaN before the first state
  Body body;
};

inline StandVerdict judgeStand(const LowState& state) {
  return {standError(state), bodyOf(state)};
}

// The control loop's calls and overruns as key=value fields for a summary
// line.
inline void printLoopFigures(const LoopStatus& control) {
  std::printf(" iterations=%llu overruns=%llu", static_cast<unsigned long long>(control.iterations),
              static_cast<unsigned long long>(control.overruns));
}

// What a recorder took and dropped as key=value fields for a summary line;
// nothing without a recorder (no --record).
inline void printRecordingFigures(const Recorder* recorder) {
  if (recorder == nullptr) return;
  const RecorderStats stats = recorder->stats();
  std::printf(
      " recorded_commands=%llu recorded_states=%llu dropped_commands=%llu"
      " dropped_states=%llu",
      static_cast<unsigned long long>(stats.commandsRecorded),
      static_cast<unsigned long long>(stats.statesRecorded),
      static_cast<unsigned long long>(stats.commandsDropped),
      static_cast<unsigned long long>(stats.statesDropped));
}

// Runs `control` on LinkLoops until waitForStop(seconds) returns, then
// stops them; the control loop's status as it was told to stop.
inline LoopStatus runLinkLoops(UDP& udp, const Callback& control, double seconds,
                               const char* controlName = "control") {
  LinkLoops loops(udp, control, controlName);
  waitForStop(seconds);
  return loops.controlStatus();
}

// The state-driven loop's control period, and how much later than it a
// state may come before it counts as stale, s.
const float kStatePeriod = 0.002f;
const float kStaleMargin = 0.001f;

// Runs `step(state, cmd, tick)` on a LowStateLoop of `udp` until
// waitForStop(seconds) returns, then stops it; the loop's status as it was
// told to stop. `state` holds the last state then. Until the first state,
// stale periods send the idle command of InitCmdData (no torque).
template <typename Step>
LoopStatus runLowStateLoop(UDP& udp, LowState& state, Step step, double seconds) {
  LowCmd cmd{};
  udp.InitCmdData(cmd);
  LowStateLoop loop("control", udp, state, cmd, kStatePeriod, kStaleMargin, std::move(step));
  loop.start();
  waitForStop(seconds);
  return loop.status();
}

// Runs `control` every 2 ms on a LoopFunc named "control" until
// waitForStop(seconds) returns, then stops it; its status as it was told to
// stop.
inline LoopStatus runControlLoop(const Callback& control, double seconds) {
  LoopFunc loop("control", kLoopPeriod, control);
  loop.start();
  waitForStop(seconds);
  return loop.status();
}

// The end of a summary line: the watch's figures, the control loop's (when
// given), the body's and the recorder's, and the line's end.
inline void endSummary(const StateWatch& watch, const LoopStatus* control, const Body& body,
                       const Recorder* recorder) {
  printWatchFigures(watch);
  if (control) printLoopFigures(*control);
  printBodyFigures(body);
  printRecordingFigures(recorder);
  std::printf("\n");
}

// Whether a state came from the robot; says on stdout when none did.
template <typename State>
bool reportHasState(const char* program, const State& state) {
  if (!hasState(state)) std::printf("%s: no state received from the robot\n", program);
  return hasState(state);
}

// The closing line, read by scripts: key=value fields after "summary".
inline void printSummary(const char* program, const StandVerdict& verdict, const UDP& udp,
                         const StateWatch& watch, const LoopStatus& control,
                         const Recorder* recorder) {
  const UDPState& link = udp.udpState;
  std::printf("%s: summary max_error_rad=%.5f sent=%llu received=%llu checksum_errors=%llu",
              program, verdict.jointError, link.SendCount, link.RecvCount, link.RecvCRCError);
  printLinkFigures(udp.linkHealth());
  endSummary(watch, &control, verdict.body, recorder);
}

// Prints the stand pose, says whether the robot stands and gives the exit
// status: 0 when the joints are at the stand pose and the body is upright
// on its feet, 1 otherwise (a robot fallen over with its joints at the
// pose too).
inline int reportStanding(const char* program, const StandVerdict& verdict) {
  std::printf("%s: stand_pose_rad=%.5f,%.5f,%.5f\n", program, kStandPose[0], kStandPose[1],
              kStandPose[2]);
  if (std::isnan(verdict.jointError)) {
    std::printf("%s: no state received from the robot\n", program);
    return 1;
  }
  const bool bodyStands = reportBody(program, verdict.body);
  const bool standing = verdict.jointError <= kStandTolerance && bodyStands;
  std::printf("%s: %s: largest joint error %.5f rad (tolerance %.2f)\n", program,
              standing ? "standing" : "NOT standing", verdict.jointError, kStandTolerance);
  return standing ? 0 : 1;
}

// The end of a stand program: the summary line and the verdict on the
// stand of the last `state`; the exit status of reportStanding.
inline int finishStand(const LowLevelProgram& program, const LowState& state,
                       const StateWatch& watch, const LoopStatus& control) {
  const StandVerdict verdict = judgeStand(state);
  printSummary(program.name, verdict, program.udp, watch, control, program.recorder.get());
  return reportStanding(program.name, verdict);
}

}  // namespace example
