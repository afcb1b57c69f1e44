// The thread of a state-driven control loop: wait on the socket, answer each
// accepted state at once, keep sending at the control rate when none comes.
#include "kalvent_legged_sdk/state_loop.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>

#include "fatal.h"
#include "kalvent_legged_sdk/clock.h"
#include "kalvent_legged_sdk/log.h"
#include "loop_counters.h"

namespace KALVENT_LEGGED_SDK {

namespace {

// A period of at least a microsecond and a margin of none or more, both
// shorter than a day: anything else is a mistake rather than a choice.
bool validTiming(float period, float staleMargin) {
  return period >= 1e-6f && period < 86400.0f && staleMargin >= 0.0f && staleMargin < 86400.0f;
}

int64_t nanosecondsOf(float seconds) {
  return static_cast<int64_t>(std::llround(static_cast<double>(seconds) * 1e9));
}

}  // namespace

StateLoopThread::~StateLoopThread() {
  if (_thread.joinable()) shutdown();
  forgetLoopCounters(this);
}

LoopStatus StateLoopThread::status() const {
  return loopStatusOf(this, _running);
}

void StateLoopThread::reportError(const std::string& why) {
  reportLoopError(this, why);
}

namespace {

// The loop whose thread this is, if any. Kept by the thread itself: reading
// _thread from the loop thread would race with start() assigning it.
thread_local const StateLoopThread* t_ownLoop = nullptr;

}  // namespace

bool StateLoopThread::onLoopThread() const noexcept {
  return t_ownLoop == this;
}

void StateLoopThread::join() {
  _thread.join();
  close(_wakeFd);
  _wakeFd = -1;
}

void StateLoopThread::start() {
  const char* name = _name.c_str();
  if (_running || onLoopThread()) {
    logMessage(LogLevel::Warning, "state loop", "state loop %s: already running", name);
    return;
  }
  if (!validTiming(_period, _staleMargin)) {
    logMessage(LogLevel::Error, "state loop",
               "state loop %s: period %g s or stale margin %g s is invalid", name,
               static_cast<double>(_period), static_cast<double>(_staleMargin));
    return;
  }
  // A loop that stopped itself is joined here, if no shutdown() did.
  if (_thread.joinable()) join();
  _wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (_wakeFd < 0) {
    logMessage(LogLevel::Error, "state loop", "state loop %s: cannot make its wake-up descriptor",
               name);
    return;
  }
  const bool pinned = _bindCPU >= 1;
  char cpu[32] = "cpu unspecified";
  if (pinned) std::snprintf(cpu, sizeof cpu, "cpu %d", _bindCPU);
  logMessage(LogLevel::Info, "state loop",
             "state loop %s: start, period %g ms, stale after %g ms, %s", name,
             static_cast<double>(_period) * 1e3,
             (static_cast<double>(_period) + static_cast<double>(_staleMargin)) * 1e3, cpu);

  loopCountersOf(this).reset();
  _running = true;
  try {
    _thread = std::thread(&StateLoopThread::run, this, _wakeFd);
  } catch (...) {
    _running = false;
    close(_wakeFd);
    _wakeFd = -1;
    throw;
  }
  if (pinned) {
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    if (_bindCPU < CPU_SETSIZE) CPU_SET(_bindCPU, &cpus);
    if (pthread_setaffinity_np(_thread.native_handle(), sizeof cpus, &cpus) != 0) {
      char why[96];
      std::snprintf(why, sizeof why, "state loop %s: cannot run on cpu %d", name, _bindCPU);
      endProcess(ExitStatus::SetUpFailure, "", why);
    }
  }
}

void StateLoopThread::shutdown() {
  // From the control function: the thread ends after this call, and a later
  // shutdown(), start() or the destructor joins it.
  if (onLoopThread()) {
    _running = false;
    return;
  }
  if (!_thread.joinable()) {
    logMessage(LogLevel::Warning, "state loop", "state loop %s: shutdown nothing", _name.c_str());
    return;
  }
  if (_running.exchange(false)) {
    // Ends the wait at once rather than at the next timeout.
    const uint64_t one = 1;
    while (write(_wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }
  join();
}

void StateLoopThread::run(int wakeFd) {
  const int64_t periodNs = std::max<int64_t>(nanosecondsOf(_period), 1000);
  const int64_t staleNs = periodNs + nanosecondsOf(_staleMargin);
  pollfd waitFor[2] = {{_udp.socketFd(), POLLIN, 0}, {wakeFd, POLLIN, 0}};
  int64_t deadline = monotonicNanoseconds() + staleNs;
  uint64_t stateCalls = 0;
  uint64_t staleCalls = 0;
  LoopCounters& counters = loopCountersOf(this);
  t_ownLoop = this;

  while (_running.load(std::memory_order_acquire)) {
    // Datagrams the endpoint took from the socket but left for the next Recv
    // no longer make the socket readable: they are received before any wait.
    if (!_udp.hasBuffered()) {
      const timespec timeout = timespecOf(std::max<int64_t>(deadline - monotonicNanoseconds(), 0));
      const int ready = ppoll(waitFor, 2, &timeout, nullptr);
      if (ready < 0) continue;  // interrupted: wait again for what is left
      if (ready == 0) {
        const int64_t begun = monotonicNanoseconds();
        _step(_context, StateTick{true, _udp.linkHealth().stateAge()});
        _udp.Send();
        ++staleCalls;
        // On the period grid; periods missed by an overrun are skipped.
        deadline += periodNs;
        const int64_t after = monotonicNanoseconds();
        counters.count(after - begun > 2 * periodNs);
        if (deadline <= after) deadline = after + periodNs;
        continue;
      }
      if (waitFor[1].revents != 0) break;
    }
    // A state waiting wins over a stale call that fell due meanwhile. A
    // datagram Recv refuses leaves the deadline as it was.
    if (_udp.Recv() == 0) {
      const int64_t accepted = monotonicNanoseconds();
      _step(_context, StateTick{false, 0.0});
      _udp.Send();
      ++stateCalls;
      deadline = accepted + staleNs;
      counters.count(monotonicNanoseconds() - accepted > 2 * periodNs);
    }
  }
  logMessage(LogLevel::Info, "state loop", "state loop %s: end, %llu state calls, %llu stale calls",
             _name.c_str(), static_cast<unsigned long long>(stateCalls),
             static_cast<unsigned long long>(staleCalls));
}

}  // namespace KALVENT_LEGGED_SDK
