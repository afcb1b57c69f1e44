// Helpers the example programs share: how long to run, stopping on SIGINT or
// SIGTERM, the real-time set-up when it is allowed, the three loops of a
// program that owns the link, the standing motion, and riding through a lost
// link.
#pragma once

#include <kalvent_legged_sdk.h>
#include <signal.h>

#include <atomic>
#include <boost/bind/bind.hpp>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
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

// Returns after `seconds` (0: no limit) or as soon as a stop signal came.
inline void waitForStop(double seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!stopRequested && (seconds <= 0 || std::chrono::steady_clock::now() < end)) {
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
// tick is never 0 in a packet.
inline bool hasState(const LowState& state) {
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

  // Writes position targets into `cmd` for the current time. Returns false,
  // leaving `cmd` alone, until a state has arrived.
  bool Step(const LowState& state, LowCmd& cmd) {
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
      MotorCmd& m = cmd.motorCmd[j];
      m.mode = 10;
      m.q = static_cast<float>(from_[j] + s * travel);
      m.dq = static_cast<float>(ds * travel);
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

// The leg joints without position target or torque, only damped: what a
// program sends when it has no state to compute from.
inline void holdDamping(LowCmd& cmd) {
  for (int j = 0; j < 12; ++j) {
    MotorCmd& m = cmd.motorCmd[j];
    m.mode = 10;
    m.q = static_cast<float>(PosStopF);
    m.dq = 0;
    m.tau = 0;
    m.Kp = 0;
    m.Kd = kHoldKd;
  }
}

// Decides, each control tick, whether the state in hand may be computed
// from. The state is stale when the link says so, or when its tick stopped
// moving (a program that gets the state second-hand, over LCM, sees only
// that). A controller that came back is told by a tick that fell back far,
// by a jump in the pose, or simply by the state turning fresh after it went
// stale: in each case the motion must start again from the measured pose.
class StateWatch {
 public:
  static constexpr double kStaleSeconds = 0.1;
  // Larger than any joint moves between two state packets, rad.
  static constexpr double kPoseJumpRad = 0.3;

  enum class Verdict {
    NoState,  // nothing received yet
    Stale,    // hold: do not compute from this state
    Resumed,  // fresh again, or the controller restarted: restart the motion
    Fresh,    // compute from it
  };

  // `linkStale`: the link's own verdict (false when not known).
  Verdict Check(const LowState& state, bool linkStale) {
    if (!hasState(state)) return Verdict::NoState;
    const auto now = std::chrono::steady_clock::now();
    const bool tickMoved = state.tick != lastTick_;
    const bool fellBack = tickMoved && static_cast<int32_t>(state.tick - lastTick_) <
                                           -static_cast<int32_t>(LinkHealth::kRestartTicks);
    if (tickMoved) tickChanged_ = now;
    lastTick_ = state.tick;
    const bool stale =
        linkStale || std::chrono::duration<double>(now - tickChanged_).count() > kStaleSeconds;
    if (stale) {
      if (!holding_) ++staleEpisodes_;
      holding_ = true;
      return Verdict::Stale;
    }
    bool jumped = false;
    for (int j = 0; j < 12; ++j) {
      jumped = jumped || std::fabs(state.motorState[j].q - lastQ_[j]) > kPoseJumpRad;
      lastQ_[j] = state.motorState[j].q;
    }
    const bool resumed = holding_ || (seen_ && (fellBack || jumped));
    holding_ = false;
    seen_ = true;
    if (!resumed) return Verdict::Fresh;
    ++resumptions_;
    return Verdict::Resumed;
  }

  // Episodes of stale state, and times the motion had to start again.
  long staleEpisodes() const { return staleEpisodes_; }
  long resumptions() const { return resumptions_; }

 private:
  uint32_t lastTick_ = 0;
  std::chrono::steady_clock::time_point tickChanged_ = std::chrono::steady_clock::now();
  float lastQ_[12] = {};
  bool seen_ = false;
  bool holding_ = false;
  long staleEpisodes_ = 0;
  long resumptions_ = 0;
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

// The closing line, read by scripts: key=value fields after "summary".
inline void printSummary(const char* program, double maxError, const UDP& udp,
                         const StateWatch* watch = nullptr) {
  const UDPState& link = udp.udpState;
  std::printf("%s: summary max_error_rad=%.5f sent=%llu received=%llu checksum_errors=%llu",
              program, maxError, link.SendCount, link.RecvCount, link.RecvCRCError);
  printLinkFigures(udp.linkHealth());
  if (watch) printWatchFigures(*watch);
  std::printf("\n");
}

// Prints the stand pose, says whether the robot stands and gives the exit
// status: 0 when it does.
inline int reportStanding(const char* program, double maxError) {
  std::printf("%s: stand_pose_rad=%.5f,%.5f,%.5f\n", program, kStandPose[0], kStandPose[1],
              kStandPose[2]);
  if (std::isnan(maxError)) {
    std::printf("%s: no state received from the robot\n", program);
    return 1;
  }
  const bool standing = maxError <= kStandTolerance;
  std::printf("%s: %s: largest joint error %.5f rad (tolerance %.2f)\n", program,
              standing ? "standing" : "NOT standing", maxError, kStandTolerance);
  return standing ? 0 : 1;
}

}  // namespace example
