// LowStateLoop and HighStateLoop with a Python control function, and the
// status of a loop.
//
// The loop thread waits, receives and sends in C++ without the GIL; it takes
// the GIL only around the state copy, the Python call and the command copy,
// so that Python threads reading the records under the GIL never see half of
// one. Each loop thread has one Python thread state for its whole run, as a
// LoopFunc's has.
//
// A control function that raises stops its loop: the exception is printed
// with its traceback, the command stored before that call goes out once
// more (the half-written one does not), the loop ends, the exception is the
// loop's `error` and the next shutdown() raises it.
#include <kalvent_legged_sdk.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "bindings.h"
#include "endpoint.h"
#include "loop_common.h"
#include "python_calls.h"

namespace kalvent_python {

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

template <typename State, typename Command>
class PythonStateLoop : public ExitStoppable {
 public:
  PythonStateLoop(const char* loopClass, std::string name, const py::object& udp,
                  const py::object& state, const py::object& cmd, float period, float staleMargin,
                  int bindCPU, py::object control)
      : loopClass_(loopClass),
        name_(name),
        endpointObject_(udp),
        stateObject_(state),
        cmdObject_(cmd),
        control_(std::move(control)),
        endpoint_(udp.cast<Endpoint&>()),
        state_(state.cast<RecordView<State>&>().record()),
        cmd_(cmd.cast<RecordView<Command>&>().record()),
        tickObject_(py::cast(&tick_, py::return_value_policy::reference)),
        thread_(std::move(name), *endpoint_.udp, period, staleMargin, bindCPU,
                &PythonStateLoop::step, this) {
    enrolForExit();
  }

  // Called with the GIL held, as Python releases the object.
  ~PythonStateLoop() {
    withdrawFromExit();
    py::gil_scoped_release release;
    stopThread(true);
  }

  // GIL held; released while the thread starts. Forgets the exception of
  // the run before.
  void start() {
    if (onLoopThread()) {
      thread_.start();  // prints that it already runs
      return;
    }
    PyObject* previousError = nullptr;
    const char* owner = nullptr;
    {
      py::gil_scoped_release release;
      const std::lock_guard<std::mutex> lock(stateMutex_);
      if (!thread_.status().running) {
        // A run that stopped itself is joined before its thread state goes.
        if (thread_.hasThread()) thread_.shutdown();
        dropThreadState();
        releaseEndpoint();
        previousError = error_.take();
      }
      if (!thread_.hasThread() && !ownEndpoint()) {
        owner = "another state loop";
      } else {
        thread_.start();
        if (!thread_.hasThread()) releaseEndpoint();  // refused: it printed why
      }
    }
    Py_XDECREF(previousError);
    if (owner != nullptr) {
      throw std::runtime_error(std::string(loopClass_) + " " + name_ + ": " + owner +
                               " runs on this endpoint");
    }
  }

  // GIL held. From the control function it only asks the loop to stop.
  void shutdown() {
    if (onLoopThread()) {
      thread_.shutdown();
      return;
    }
    {
      py::gil_scoped_release release;
      stopThread(false);
    }
    error_.raiseOnce();
  }

  // At the interpreter's exit, with the GIL released.
  void stopForExit() override { stopThread(true); }

  sdk::LoopStatus status() const { return thread_.status(); }
  const py::object& endpoint() const { return endpointObject_; }

  // GIL held: the exception that stopped the loop, or None.
  py::object error() { return error_.get(); }

 private:
  // With the GIL released. `quietly`: no "shutdown nothing" for an idle
  // loop, as for a loop's destruction.
  void stopThread(bool quietly) {
    const std::lock_guard<std::mutex> lock(stateMutex_);
    if (thread_.hasThread() || !quietly) thread_.shutdown();
    dropThreadState();
    releaseEndpoint();
  }

  // The endpoint for this loop alone, unless another loop has it. Waits for
  // Send, Recv and packet copies in progress. GIL released.
  bool ownEndpoint() {
    const std::scoped_lock lock(endpoint_.sendCall, endpoint_.recvCall, endpoint_.packets);
    if (endpoint_.stateLoopOwns) return false;
    endpoint_.stateLoopOwns = true;
    owning_ = true;
    return true;
  }
  // Gives the endpoint back, if this loop has it; its thread has ended.
  void releaseEndpoint() {
    if (!owning_) return;
    endpoint_.stateLoopOwns = false;
    owning_ = false;
  }

  bool onLoopThread() const { return loopThread_.load() == std::this_thread::get_id(); }

  static void step(void* context, const sdk::StateTick& tick) {
    auto& self = *static_cast<PythonStateLoop*>(context);
    if (!self.threadState_.made()) self.loopThread_ = std::this_thread::get_id();
    const GilOnState gil(self.threadState_.own());
    if (!tick.stale) {
      const auto lock = lockKeepingGil(self.endpoint_.packets);
      self.endpoint_.udp->GetRecv(self.state_);
    }
    self.tick_ = tick;
    PyObject* const args[] = {self.stateObject_.ptr(), self.cmdObject_.ptr(),
                              self.tickObject_.ptr()};
    PyObject* result = PyObject_Vectorcall(self.control_.ptr(), args, 3, nullptr);
    if (result != nullptr) {
      Py_DECREF(result);
      const auto lock = lockKeepingGil(self.endpoint_.packets);
      self.endpoint_.udp->SetSend(self.cmd_);
      return;
    }
    // Whatever it raised, SystemExit and KeyboardInterrupt too: nothing may
    // leave the loop thread, and only the program decides to end. The
    // command is not stored: the one before goes out once more.
    self.fail();
  }

  // Loop thread, GIL held, an exception raised: reports and keeps it, and
  // stops the loop after this call.
  void fail() {
    PyObject* error = takeRaisedException();
    reportLoopException(std::string(loopClass_) + " " + name_ +
                            ": the control function raised an exception; the loop stops.",
                        error);
    thread_.reportError(describeException(error));
    error_.keep(error);
    thread_.shutdown();  // on the loop thread: ends it after this call
  }

  // Once the loop thread has ended, with stateMutex_ held: its thread state
  // goes. Takes the GIL, which nothing holding it waits on stateMutex_ for.
  void dropThreadState() {
    loopThread_ = std::thread::id();
    threadState_.drop();
  }

  const char* const loopClass_;
  const std::string name_;
  const py::object endpointObject_;  // keeps the endpoint and records alive
  const py::object stateObject_;
  const py::object cmdObject_;
  const py::object control_;
  Endpoint& endpoint_;
  State& state_;
  Command& cmd_;
  sdk::StateTick tick_{true, 0.0};
  const py::object tickObject_;  // one Python object for every call
  std::atomic<std::thread::id> loopThread_{};
  LoopThreadState threadState_;
  std::mutex stateMutex_;  // guards the thread's start and shutdown, owning_
  bool owning_ = false;    // this loop has set endpoint_.stateLoopOwns
  LoopError error_;
  sdk::StateLoopThread thread_;  // last: stopped before the members it calls go
};

template <typename State, typename Command>
void bindStateLoop(py::module_& m, const char* loopClass, const char* doc) {
  using Loop = PythonStateLoop<State, Command>;
  py::class_<Loop>(m, loopClass, doc)
      .def(py::init([loopClass](std::string name, const py::object& udp, const py::object& state,
                                const py::object& cmd, float period, float staleMargin,
                                py::object control) {
             checkCallable(control, 3, std::string(loopClass) + ": the control function",
                           "(state, cmd, tick)");
             return new Loop(loopClass, std::move(name), udp, state, cmd, period, staleMargin, -1,
                             std::move(control));
           }),
           py::arg("name"), py::arg("udp"), py::arg("state"), py::arg("cmd"), py::arg("period"),
           py::arg("staleMargin"), py::arg("control"),
           "Unpinned loop. `period` in seconds: the control rate when states stop (0.002 =\n"
           "2 ms). `staleMargin` in seconds: how much later than one period after the last\n"
           "state it counts as stale. The loop keeps `udp`, `state` and `cmd` alive.")
      .def(py::init([loopClass](std::string name, const py::object& udp, const py::object& state,
                                const py::object& cmd, float period, float staleMargin, int bindCPU,
                                py::object control) {
             checkCallable(control, 3, std::string(loopClass) + ": the control function",
                           "(state, cmd, tick)");
             return new Loop(loopClass, std::move(name), udp, state, cmd, period, staleMargin,
                             bindCPU, std::move(control));
           }),
           py::arg("name"), py::arg("udp"), py::arg("state"), py::arg("cmd"), py::arg("period"),
           py::arg("staleMargin"), py::arg("bindCPU"), py::arg("control"),
           "As above, pinned to CPU `bindCPU` (1 or more; below 1 means unpinned). Ends the\n"
           "process (status 254) at start() when the thread cannot be pinned.")
      .def("start", &Loop::start,
           "Starts the thread; prints its start line on standard error. A stopped loop may\n"
           "be started again, which clears `error`. RuntimeError when another state loop\n"
           "runs on the endpoint.")
      .def("shutdown", &Loop::shutdown,
           "Stops the thread and waits for it: at most the call in progress. From the\n"
           "control function it only asks the loop to stop after that call. If the control\n"
           "function's exception stopped the loop, raises that exception (once).")
      .def("status", &Loop::status, "The loop's LoopStatus, from any thread.")
      .def("endpoint", &Loop::endpoint, "The UDP endpoint the loop runs on.")
      .def_property_readonly("error", &Loop::error,
                             "The exception that stopped the loop's last run, or None.");
}

}  // namespace

void bindStateLoops(py::module_& m) {
  py::class_<sdk::LoopStatus>(m, "LoopStatus",
                              "A copy of a loop's status; the counts start again at each start().")
      .def_readonly("running", &sdk::LoopStatus::running, "The loop's thread runs.")
      .def_readonly("iterations", &sdk::LoopStatus::iterations, "Calls since the last start().")
      .def_readonly("overruns", &sdk::LoopStatus::overruns,
                    "Calls since the last start() that began more than one period late.")
      .def_readonly("error", &sdk::LoopStatus::error,
                    "Why the loop was stopped with an error ('TypeError: ...'), or ''.")
      .def("__repr__", [](const sdk::LoopStatus& s) {
        return "LoopStatus(running=" + std::string(s.running ? "True" : "False") +
               ", iterations=" + std::to_string(s.iterations) +
               ", overruns=" + std::to_string(s.overruns) +
               ", error=" + std::string(py::repr(py::str(s.error))) + ")";
      });
  py::class_<sdk::StateTick>(m, "StateTick",
                             "What the control function is told about its state. One object is\n"
                             "reused for every call: copy its fields to keep them.")
      .def_readonly("stale", &sdk::StateTick::stale,
                    "False: a state was accepted just now. True: none for longer than period +\n"
                    "staleMargin (or none yet); the state record holds the last one.")
      .def_readonly("stateAge", &sdk::StateTick::stateAge,
                    "Seconds since the newest valid state: 0 when answering one, inf before "
                    "the first.");

  const char* const doc =
      "A control loop driven by the state packets of one endpoint.\n\n"
      "Its thread waits on the socket; when a state arrives it copies it into `state`,\n"
      "calls control(state, cmd, tick), stores `cmd` and sends it at once. With no state\n"
      "for period + staleMargin it calls control at the period with tick.stale True.\n"
      "The thread takes the GIL only for the copies and the call. While the loop runs,\n"
      "its thread alone calls the endpoint's Recv, GetRecv, SetSend and Send.\n\n"
      "control is called with (state, cmd, tick): anything else is refused with\n"
      "TypeError here. If it raises, the traceback is printed on standard error, the\n"
      "command stored before that call goes out once more and the loop stops; the\n"
      "exception is `error`, status().error names it, and shutdown() raises it.\n"
      "Messages go to standard error: 'state loop NAME: start, ...' and 'state loop\n"
      "NAME: end, F state calls, S stale calls'. Loops still running when the\n"
      "interpreter exits are stopped then.";
  bindStateLoop<sdk::LowState, sdk::LowCmd>(m, "LowStateLoop", doc);
  bindStateLoop<sdk::HighState, sdk::HighCmd>(m, "HighStateLoop", doc);
}

}  // namespace kalvent_python
