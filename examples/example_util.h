// Helpers the example programs share: how long to run, stopping on SIGINT or
// SIGTERM, the real-time set-up when it is allowed, and the standing motion.
#pragma once

#include <fcntl.h>
#include <kalvent_legged_sdk.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace example {

using namespace KALVENT_LEGGED_SDK;

inline std::atomic<bool> stopRequested{false};

inline void onStopSignal(int) {
  stopRequested = true;
}

// The run time in seconds from the only optional argument: `fallback` when
// it is absent, 0 meaning "until SIGINT or SIGTERM". Exits with status 2 on
// anything else. From here on SIGINT and SIGTERM end waitForStop instead of
// the process, so that the program can stop its loops and report, and
// standard output is line-buffered, so that a log shows each line at once.
inline double setUp(int argc, char** argv, double fallback) {
  double seconds = fallback;
  if (argc > 1) {
    char* end = nullptr;
    seconds = argc == 2 ? std::strtod(argv[1], &end) : -1;
    if (argc != 2 || *end != '\0' || !(seconds >= 0 && seconds < 1e6)) {
      std::fprintf(stderr, "usage: %s [SECONDS]  (0: run until SIGINT or SIGTERM)\n", argv[0]);
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

// Returns after `seconds` (0: no limit) or as soon as a stop signal came.
inline void waitForStop(double seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!stopRequested && (seconds <= 0 || std::chrono::steady_clock::now() < end)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// InitEnvironment ends the process when it may not lock memory or use
// SCHED_FIFO, so it is tried first in a throw-away child.
inline bool realtimePermitted() {
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    const int devNull = open("/dev/null", O_WRONLY);
    if (devNull >= 0) dup2(devNull, STDOUT_FILENO);
    InitEnvironment();
    _exit(0);
  }
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

// Makes the process real-time when allowed, and says which it is.
inline void setUpRealtime(const char* program) {
  if (realtimePermitted()) {
    std::printf("%s: real-time: memory locked, loops at SCHED_FIFO priority %d\n", program,
                THREAD_PRIORITY);
    InitEnvironment();
  } else {
    std::printf("%s: not real-time: no right to lock memory or use SCHED_FIFO (run as root)\n",
                program);
  }
}

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

 private:
  bool started_ = false;
  double from_[12] = {};
  std::chrono::steady_clock::time_point start_;
};

// The closing line, read by scripts: key=value fields after "summary".
inline void printSummary(const char* program, double maxError, const UDPState& link) {
  std::printf("%s: summary max_error_rad=%.5f sent=%llu received=%llu checksum_errors=%llu\n",
              program, maxError, link.SendCount, link.RecvCount, link.RecvCRCError);
}

// Says whether the robot stands and gives the exit status: 0 when it does.
inline int reportStanding(const char* program, double maxError) {
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
