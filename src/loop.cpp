// Periodic loops on a timerfd grid.
#include "kalvent_legged_sdk/loop.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include "cpu_affinity.h"
#include "fatal.h"
#include "loop_counters.h"

namespace KALVENT_LEGGED_SDK {

namespace {

// Splits a period in seconds into the timer's interval: whole seconds and
// the fraction's nanoseconds, both truncated. Returns false for a period the
// timer cannot run: not positive, splitting to zero (a zero interval disarms
// the timer, and the first read would block forever), or too long for the
// start line's milliseconds.
bool timerInterval(float period, itimerspec* interval) {
  if (!(period > 0.0f && static_cast<double>(period) * 1000.0 < 2147483648.0)) return false;
  const float fraction = std::fmod(period, 1.0f);
  interval->it_interval.tv_sec = static_cast<int>(period);
  interval->it_interval.tv_nsec = static_cast<int>(static_cast<double>(fraction) * 1e9);
  interval->it_value = interval->it_interval;
  return interval->it_interval.tv_sec != 0 || interval->it_interval.tv_nsec != 0;
}

// Closes the loop thread's timer when the thread ends.
class TimerFd {
 public:
  TimerFd() : fd(timerfd_create(CLOCK_MONOTONIC, 0)) {}
  ~TimerFd() {
    if (fd >= 0) close(fd);
  }
  TimerFd(const TimerFd&) = delete;
  TimerFd& operator=(const TimerFd&) = delete;

  const int fd;
};

}  // namespace

Loop::~Loop() {
  shutdownBeforeDestruction();
  forgetLoopCounters(this);
}

LoopStatus Loop::status() const {
  return loopStatusOf(this, _isrunning);
}

void Loop::reportError(const std::string& why) {
  reportLoopError(this, why);
}

void Loop::start() {
  const Result<void> started = launch();
  if (!started && started.error().step == Step::CpuAffinity) {
    endProcess(started.error(), "Error: Set affinity failed.\n");
  }
}

Result<void> Loop::tryStart() {
  Result<void> started = launch();
  if (!started && started.error().step == Step::CpuAffinity) {
    _isrunning = false;
    _thread.join();
  }
  return started;
}

Result<void> Loop::launch() {
  // A loop with such a period never runs, so this test need not be atomic
  // with the claim below.
  itimerspec interval{};
  if (!timerInterval(_period, &interval)) {
    std::printf("[Error] Loop %s period %g(s) is invalid.\n", _name.c_str(),
                static_cast<double>(_period));
    return Error{Step::LoopPeriod, 0,
                 "loop " + _name + ": period " + std::to_string(_period) + " s is invalid"};
  }
  // Claimed in one atomic step, so that of several threads starting the loop
  // at once exactly one goes on; it is set before the thread exists, so that
  // the thread's first test finds it set.
  bool idle = false;
  if (!_isrunning.compare_exchange_strong(idle, true)) {
    std::printf("[Error] Loop %s is already running.\n", _name.c_str());
    return Error{Step::LoopRunning, 0, "loop " + _name + ": already running"};
  }
  const int periodMs = static_cast<int>(static_cast<double>(_period) * 1000.0);
  _bind_cpu_flag = _bindCPU >= 1;
  // One printf, so that no other loop's message lands inside the line.
  if (_bind_cpu_flag) {
    std::printf("[Loop Start] named: %s, period: %d(ms), run at cpu: %d \n", _name.c_str(),
                periodMs, _bindCPU);
  } else {
    std::printf("[Loop Start] named: %s, period: %d(ms), cpu unspecified\n", _name.c_str(),
                periodMs);
  }

  loopCountersOf(this).reset();
  try {
    _thread = std::thread(&Loop::entryFunc, this);
  } catch (...) {
    _isrunning = false;  // no thread: the loop stays idle
    throw;
  }

  if (_bind_cpu_flag) return pinToCpu(_thread, _bindCPU, "loop " + _name);
  return {};
}

void Loop::shutdown() {
  if (!_isrunning) {
    std::printf("[Warning] Loop %s shutdown nothing.\n", _name.c_str());
    return;
  }
  _isrunning = false;
  _thread.join();
}

void Loop::shutdownBeforeDestruction() {
  if (_shutdownForDestruction) return;
  _shutdownForDestruction = true;
  shutdown();
}

void Loop::entryFunc() {
  itimerspec interval{};
  timerInterval(_period, &interval);  // start() has refused periods it cannot split
  const TimerFd timer;
  LoopCounters& counters = loopCountersOf(this);
  if (timer.fd < 0 || timerfd_settime(timer.fd, 0, &interval, nullptr) != 0) {
    std::printf("[Error] Loop %s cannot arm its timer.\n", _name.c_str());
  } else {
    while (_isrunning) {
      functionCB();
      // Returns at once after an overrun; missed periods are skipped rather
      // than made up. Two or more expiries: the next call starts more than a
      // period after its place on the grid.
      uint64_t expirations = 0;
      while (read(timer.fd, &expirations, sizeof expirations) < 0 && errno == EINTR) {
      }
      counters.count(expirations >= 2);
    }
  }
  std::printf("[Loop End] named: %s\n", _name.c_str());
}

}  // namespace KALVENT_LEGGED_SDK
