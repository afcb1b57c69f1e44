/// @file
/// Periodic real-time loops and the process's real-time set-up.
///
/// A loop calls its functionCB() once per period on a thread of its own. The
/// period is kept by a kernel interval timer on the monotonic clock, so the
/// calls stay on a fixed grid however long each call takes: a call that
/// overruns is followed at once by the next one, and missed periods are not
/// made up. The loop thread inherits the scheduling policy and priority of the
/// thread that calls start(); call InitEnvironment() first to make it a
/// real-time thread.
#pragma once

#include <atomic>
#include <boost/function.hpp>
#include <string>
#include <thread>
#include <utility>

#include "kalvent_legged_sdk/loop_status.h"
#include "kalvent_legged_sdk/result.h"

namespace KALVENT_LEGGED_SDK {

/// SCHED_FIFO priority that InitEnvironment gives the main thread.
const int THREAD_PRIORITY = 99;

/// The function a LoopFunc calls once per period. May be empty: calling an
/// empty one throws boost::bad_function_call, which nothing catches.
typedef boost::function<void()> Callback;

/// A thread that calls functionCB() once per period.
///
/// Messages go to standard output:
///   start():    "[Loop Start] named: NAME, period: MS(ms), cpu unspecified"
///               or "... run at cpu: N "; "[Error] Loop NAME is already running."
///               when running; "[Error] Loop NAME period ... is invalid." for a
///               period that is not a positive number of nanoseconds.
///   shutdown(): "[Warning] Loop NAME shutdown nothing." when idle.
///   the thread: "[Loop End] named: NAME" as it ends; before it,
///               "[Error] Loop NAME cannot arm its timer." when the system
///               gives it no timer (the thread then ends at once).
///
/// Subclassing: a subclass's destructor must call shutdownBeforeDestruction()
/// first. The loop thread calls functionCB() through this object, so it has
/// to be stopped while the subclass's members still exist; ~Loop stops it
/// only if no subclass destructor already did (and by then functionCB() is
/// no longer the subclass's). The destructor is not virtual: destroy a loop
/// as its own class.
class Loop {
 public:
  /// `period` in seconds (0.002 = 2 ms). `bindCPU` 1 or more pins the thread
  /// to that CPU; below 1 leaves it unpinned (CPU 0 cannot be selected).
  Loop(std::string name, float period, int bindCPU)
      : _name(std::move(name)), _period(period), _bindCPU(bindCPU) {}
  /// Stops and joins a running loop (see shutdownBeforeDestruction).
  ~Loop();
  Loop(const Loop&) = delete;
  Loop& operator=(const Loop&) = delete;

  /// Starts the loop thread; its first call comes at once, the next ones on
  /// the period grid. Ends the process (status 254) after "Error: Set
  /// affinity failed." when the thread cannot be pinned to `bindCPU`; throws
  /// std::system_error (the loop stays idle) when no thread can be made. A
  /// stopped loop may be started again. Several threads may call it at once:
  /// exactly one starts the loop and the others print the already-running
  /// line.
  void start();
  /// start() without ending the process: the same lines on standard output,
  /// and what went wrong as a value. Step::LoopPeriod or Step::LoopRunning
  /// when start() prints its error line (nothing started); Step::CpuAffinity
  /// (with errno) when the thread cannot be pinned: the loop is then stopped
  /// and joined before tryStart returns, after its first call, which ran
  /// unpinned. Success means the loop runs as start() leaves it.
  Result<void> tryStart();
  /// Stops the loop thread and waits for it to end: at most the call in
  /// progress plus one period. Not from the loop's own thread.
  void shutdown();
  /// The work of one period, called on the loop thread.
  virtual void functionCB() = 0;

  /// Whether the thread runs, its calls and overruns since the last start(),
  /// and the error reported for it. From any thread; allocates only for the
  /// error's text.
  LoopStatus status() const;
  /// Records `why` as the error that stops the loop, for whoever stops it
  /// with an error (the first report since start() is kept; start() clears
  /// it). From any thread. It does not stop the loop.
  void reportError(const std::string& why);

 protected:
  /// Runs shutdown() the first time it is called on this object and does
  /// nothing afterwards; each destruction thus prints exactly one message.
  void shutdownBeforeDestruction();

 private:
  /// What start() and tryStart() share: everything but ending the process.
  Result<void> launch();
  /// Body of the loop thread.
  void entryFunc();

  std::string _name;
  float _period;  ///< seconds
  int _bindCPU;
  bool _bind_cpu_flag = false;
  std::atomic<bool> _isrunning{false};
  std::thread _thread;
  bool _shutdownForDestruction = false;
};

/// A loop that calls a stored Callback, typically a member function bound to
/// the user's own object, e.g. boost::bind(&UDP::Send, &udp).
class LoopFunc : public Loop {
 public:
  /// Unpinned loop.
  LoopFunc(std::string name, float period, const Callback& cb)
      : Loop(std::move(name), period, -1), _fp(cb) {}
  /// Loop pinned to `bindCPU` (1 or more; below 1 means unpinned).
  LoopFunc(std::string name, float period, int bindCPU, const Callback& cb)
      : Loop(std::move(name), period, bindCPU), _fp(cb) {}
  /// Stops and joins a running loop before the callback is released.
  ~LoopFunc() { shutdownBeforeDestruction(); }

  void functionCB() override { _fp(); }

 private:
  Callback _fp;
};

/// Prepares the process for real-time control, once, from the main thread
/// before any loop starts: pre-faults 16 KiB of the caller's stack, locks all
/// current and future memory (mlockall) and makes the main thread SCHED_FIFO
/// at THREAD_PRIORITY, which loops started afterwards inherit. On failure
/// prints "Error: Lock memory failed." or "Error: Pthread set sched policy
/// failed.", then a line on stderr naming the refused limit and how to raise
/// it, and ends the process with status 254. TryInitEnvironment (realtime.h)
/// does the same without ending the process.
void InitEnvironment();

}  // namespace KALVENT_LEGGED_SDK
