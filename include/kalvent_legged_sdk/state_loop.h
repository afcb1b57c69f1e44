/// @file
/// A control loop driven by the robot's state packets.
///
/// When to use it rather than three LoopFuncs (control, Send, Recv): the
/// three-loop pattern runs three independent timers. A state packet waits
/// for the receive loop, then for the control loop, then for the send loop:
/// one to two control periods of dead time between the robot measuring and
/// the command computed from that measurement going out (2 to 4 ms at
/// 500 Hz). A StateLoop wakes on the packet itself and sends the command
/// computed from it at once, tens of microseconds later, on one thread. Use
/// it for feedback control whose gains are limited by delay (stiff position
/// or torque loops, balance). The three-loop pattern remains the simple
/// choice when the commands do not depend on the newest state (replaying a
/// trajectory, high-level walking commands), or when the control step is too
/// slow to run inside every state period.
///
/// What the thread does: it waits on the endpoint's socket, unless datagrams
/// wait in the endpoint (UDP::hasBuffered()). When a datagram arrives it
/// calls Recv; when Recv accepts a state it calls GetRecv into the
/// program's state record, the program's control function, SetSend with the
/// program's command record, and Send, one after another at once. Otherwise
/// (a bad checksum, a wrong length) it goes on waiting.
///  - States faster than the period: each one is acted on as it comes; when
///    several are queued by the time the thread looks (after a long control
///    step), Recv keeps only the newest, and one command answers it.
///  - States slower than the period, up to period + staleMargin apart: each
///    is still acted on at once; commands then follow the robot's rate.
///  - No valid state for period + staleMargin (the link dropped, the
///    controller stopped, or before the first state): the loop keeps sending
///    at the control rate, one call per period on the monotonic clock, with
///    StateTick::stale set. The control function decides what goes out:
///    leaving the command record alone repeats the last command; it may also
///    compute a command for the stale case (damping, say). A state arriving
///    ends the stale phase at once. Periods missed because a call overran
///    are skipped, not made up.
///
/// The safety guards (Safety::PositionLimit, PowerProtect, PositionProtect)
/// belong in the control function, before it returns, as in any control
/// step.
///
/// Threads and records: while the loop runs, its thread alone touches the
/// endpoint's Recv, GetRecv, SetSend and Send and the program's state and
/// command records; do not run LoopFuncs on the same endpoint. Read or write
/// the records only while the loop is stopped (prepare the command before
/// start(), read the last state after shutdown()). Loops on different
/// endpoints share nothing and may run at once. UDP::linkHealth() may be read
/// from any thread meanwhile.
///
/// Real time: the thread inherits the scheduling policy and priority of the
/// thread that calls start(), as a LoopFunc's does (call InitEnvironment or
/// TryInitEnvironment first). Per state the hot path makes one wait, the Recv
/// and the Send system calls, allocates nothing and takes only locks no other
/// thread holds.
///
/// Messages go to standard error (never standard output), one line each:
///  - start(): "state loop NAME: start, period P ms, stale after S ms, cpu N"
///    (or "cpu unspecified"); "state loop NAME: already running"; "state loop
///    NAME: period ... or stale margin ... is invalid" or "state loop NAME:
///    cannot make its wake-up descriptor" (the loop stays idle in both
///    cases).
///  - shutdown(): "state loop NAME: shutdown nothing" when idle.
///  - the thread: "state loop NAME: end, F state calls, S stale calls" as it
///    ends.
///
/// Ending the process: pinning to a CPU the machine does not have ends it
/// with status 254, after "state loop NAME: cannot run on cpu N" on standard
/// error. An exception thrown by the control function (or calling an empty
/// one, boost::bad_function_call) is not caught: it ends the process through
/// std::terminate.
#pragma once

#include <atomic>
#include <boost/function.hpp>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>

#include "kalvent_legged_sdk/comm.h"
#include "kalvent_legged_sdk/loop_status.h"
#include "kalvent_legged_sdk/udp.h"

namespace KALVENT_LEGGED_SDK {

/// What the control function is told about the state it is given.
struct StateTick {
  /// false: a state was accepted just now and the state record holds it.
  /// true: no valid state for longer than period + staleMargin (or none
  /// yet); the state record holds the last one accepted (all zeros before
  /// the first).
  bool stale;
  /// Seconds since the newest valid state was accepted (monotonic clock):
  /// 0 in a call that answers a state, else the endpoint's
  /// linkHealth().stateAge(), +infinity before the first.
  double stateAge;
};

/// The thread behind StateLoop, the same for both levels. Programs use
/// StateLoop; this class is what its two instantiations share. Its start()
/// and shutdown() behave, print and end the process as StateLoop's do.
class StateLoopThread {
 public:
  /// Called on the loop thread: with tick.stale false after Recv accepted a
  /// state, with tick.stale true on a stale period. Must leave the packet to
  /// send stored (SetSend); the thread sends it right after.
  typedef void (*Step)(void* context, const StateTick& tick);

  /// A stopped thread of `udp` that will call `step` with `context`.
  /// `period` and `staleMargin` in seconds, `bindCPU` as StateLoop's; they
  /// are checked by start().
  StateLoopThread(std::string name, UDP& udp, float period, float staleMargin, int bindCPU,
                  Step step, void* context)
      : _name(std::move(name)),
        _udp(udp),
        _period(period),
        _staleMargin(staleMargin),
        _bindCPU(bindCPU),
        _step(step),
        _context(context) {}
  /// Stops and joins a running thread (silently when it is idle).
  ~StateLoopThread();
  StateLoopThread(const StateLoopThread&) = delete;
  StateLoopThread& operator=(const StateLoopThread&) = delete;

  /// Starts the thread: see StateLoop::start().
  void start();
  /// Stops the thread and waits for it, or from the loop's own thread asks
  /// it to stop: see StateLoop::shutdown().
  void shutdown();
  /// A thread was started and is not joined yet; it may have stopped itself.
  /// From the thread that calls start() and shutdown().
  bool hasThread() const noexcept { return _thread.joinable(); }
  /// See StateLoop::status().
  LoopStatus status() const;
  /// See StateLoop::reportError().
  void reportError(const std::string& why);

 private:
  /// Body of the loop thread; `wakeFd` ends its wait.
  void run(int wakeFd);
  bool onLoopThread() const noexcept;
  /// Waits for the thread to end and closes its wake-up descriptor.
  void join();

  std::string _name;
  UDP& _udp;
  float _period;       ///< s
  float _staleMargin;  ///< s
  int _bindCPU;
  Step _step;
  void* _context;
  std::atomic<bool> _running{false};  ///< false: the thread ends at its next turn
  int _wakeFd = -1;                   ///< eventfd: written by shutdown() to end the wait at once
  std::thread _thread;
};

/// A control loop driven by the state packets of one endpoint, for either
/// level: LowStateLoop (LowState / LowCmd) or HighStateLoop (HighState /
/// HighCmd). Works with every UDP constructor; a server-mode endpoint sends
/// nothing until its first client came. Construct, start() and shutdown()
/// from one thread; the control function may also call shutdown(). The
/// destructor stops a running loop.
template <typename State, typename Command>
class StateLoop {
 public:
  /// The program's control step, on the loop thread. `state` is the
  /// program's state record (not const, so that the Safety guards take it;
  /// the next state overwrites it), `cmd` its command record as the last call
  /// left it; what `cmd` holds on return goes out at once. It should return
  /// well within one period: while it runs, states queue and Recv keeps only
  /// the newest.
  typedef boost::function<void(State& state, Command& cmd, const StateTick& tick)> ControlFunction;

  /// Unpinned loop. `period` in seconds: the control rate when states stop
  /// (0.002 = 2 ms; at least 1 µs). `staleMargin` in seconds, 0 or more: how
  /// much later than one period after the last valid state the state counts
  /// as stale (0.001: stale 3 ms after the last state at 2 ms). Both below
  /// one day, else start() refuses them. `state` and `cmd` are the program's
  /// records and `udp` its endpoint; all three must outlive the loop.
  /// `control` is copied. Nothing starts and nothing is printed yet.
  StateLoop(std::string name, UDP& udp, State& state, Command& cmd, float period, float staleMargin,
            const ControlFunction& control)
      : StateLoop(std::move(name), udp, state, cmd, period, staleMargin, -1, control) {}
  /// As above, pinned to `bindCPU` (1 or more; below 1 means unpinned) as a
  /// LoopFunc is.
  StateLoop(std::string name, UDP& udp, State& state, Command& cmd, float period, float staleMargin,
            int bindCPU, const ControlFunction& control)
      : _udp(udp),
        _state(state),
        _cmd(cmd),
        _control(control),
        _thread(std::move(name), udp, period, staleMargin, bindCPU, &StateLoop::step, this) {}

  /// Starts the thread and prints the start line; the first stale call comes
  /// one period + staleMargin later unless a state comes first. A stopped
  /// loop may be started again. When already running (or called from the
  /// control function), or with an invalid period or margin, it prints why
  /// and leaves the loop as it was. Ends the process with status 254 when the
  /// thread cannot be pinned to `bindCPU`; throws std::system_error when no
  /// thread can be made.
  void start() { _thread.start(); }
  /// The endpoint the loop drives (to attach a Recorder, say).
  UDP& endpoint() noexcept { return _udp; }
  /// Stops the thread and waits for it: at most the call in progress, not a
  /// period. Prints "shutdown nothing" when idle. The destructor does the
  /// same for a running loop.
  ///
  /// From the control function (the loop's own thread) it only asks the loop
  /// to stop and returns at once: the command that call leaves still goes
  /// out, then the thread ends without another call. The thread is joined by
  /// the next shutdown() from another thread (which then prints nothing), by
  /// start(), or by the destructor.
  void shutdown() { _thread.shutdown(); }

  /// Whether the thread runs, its calls (state and stale) and overruns since
  /// the last start(), and the error reported for it. From any thread;
  /// allocates only for the error's text.
  LoopStatus status() const { return _thread.status(); }
  /// Records `why` as the error that stops the loop, for whoever stops it
  /// with an error, the control function included (the first report since
  /// start() is kept; start() clears it). From any thread. It does not stop
  /// the loop.
  void reportError(const std::string& why) { _thread.reportError(why); }

 private:
  static void step(void* context, const StateTick& tick) {
    StateLoop& self = *static_cast<StateLoop*>(context);
    if (!tick.stale) self._udp.GetRecv(self._state);
    self._control(self._state, self._cmd, tick);
    self._udp.SetSend(self._cmd);
  }

  UDP& _udp;
  State& _state;
  Command& _cmd;
  ControlFunction _control;
  StateLoopThread _thread;  ///< last: stopped before the members it calls go
};

/// The low-level loop: LowState in, LowCmd out.
typedef StateLoop<LowState, LowCmd> LowStateLoop;
/// The high-level loop: HighState in, HighCmd out.
typedef StateLoop<HighState, HighCmd> HighStateLoop;

}  // namespace KALVENT_LEGGED_SDK
