// LoopFunc with a Python callable, and InitEnvironment.
//
// The loop thread takes the GIL only around the call. When the callable is
// an endpoint's Send or Recv, or an LCM bridge's Recv, the thread calls it in
// C++ and never takes the GIL, so that the link keeps its period whatever
// Python does. A callable that raises stops its own loop: the exception is
// printed with its traceback, kept for the program (`error`, and raised
// again by shutdown()), and the process goes on.
#include <kalvent_legged_sdk.h>
#include <pybind11/stl.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bindings.h"
#include "call_times.h"
#include "endpoint.h"
#include "loop_common.h"
#include "python_calls.h"

namespace kalvent_python {

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

// The library call behind a bound method of ours that a loop may make
// without the GIL; empty for any other callable.
std::function<void()> nativeCall(const py::object& callable) {
  if (!py::hasattr(callable, "__self__") || !py::hasattr(callable, "__name__")) return {};
  const py::object self = callable.attr("__self__");
  const std::string method = py::str(callable.attr("__name__"));
  // Exactly our classes: a Python subclass may override the method.
  if (py::type::of(self).is(py::type::of<Endpoint>())) {
    Endpoint* endpoint = &self.cast<Endpoint&>();
    if (method == "Send") return [endpoint] { endpoint->send(); };
    if (method == "Recv") return [endpoint] { endpoint->recv(); };
  } else if (py::type::of(self).is(py::type::of<sdk::LCM>())) {
    sdk::LCM* lcm = &self.cast<sdk::LCM&>();
    if (method == "Recv") return [lcm] { lcm->Recv(); };
  }
  return {};
}

class PythonLoop : public sdk::Loop, public ExitStoppable {
 public:
  PythonLoop(std::string name, float period, int bindCPU, py::object callable)
      : sdk::Loop(name, period, bindCPU),
        name_(std::move(name)),
        callable_(std::move(callable)),
        native_(nativeCall(callable_)) {
    enrolForExit();
  }

  // Called with the GIL held, as Python releases the object.
  ~PythonLoop() {
    withdrawFromExit();
    py::gil_scoped_release release;
    stop(true);
  }

  // With the GIL released. Hands the exception of the run before to
  // `previousError` (empty before), which the caller drops once it holds the
  // GIL again.
  void start(py::object& previousError) {
    joinStopper();
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (!running_) {
      threadState_.drop();
      failed_ = false;
      stopperLaunched_ = false;
      stoppedItself_ = false;
      previousError = py::reinterpret_steal<py::object>(error_.take());
    }
    // Prints the start line, or why it did not start. A loop that did not
    // start (an invalid period) counts as running here: stopping it then
    // prints the base's "shutdown nothing", as it should.
    sdk::Loop::start();
    running_ = true;
  }

  // With the GIL released. `forDestruction`: the one message a destroyed
  // loop prints, as for a C++ LoopFunc; otherwise shutdown's own messages,
  // but none for a loop its callback's exception stopped: that shutdown is
  // the program's first.
  void stop(bool forDestruction) {
    joinStopper();
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (forDestruction) {
      shutdownBeforeDestruction();
    } else if (!stoppedItself_) {
      sdk::Loop::shutdown();
    }
    running_ = false;
    stoppedItself_ = false;
    threadState_.drop();
  }

  LoopError& error() { return error_; }

  // Stops a running loop as its destruction would, so that the destruction
  // prints nothing more.
  void stopForExit() override {
    joinStopper();
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (running_) shutdownBeforeDestruction();
    running_ = false;
    threadState_.drop();
  }

  // With the GIL released: the next run records its first `count` calls.
  void recordCallTimes(size_t count) {
    joinStopper();
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (running_) throw std::runtime_error("record_call_times: only while the loop is stopped");
    callTimes_.reset(count);
  }

  std::vector<CallTimes::Call> callTimes() const { return callTimes_.recorded(); }

  void functionCB() override {
    callTimes_.time([this] { call(); });
  }

 private:
  void call() {
    if (native_) {
      native_();
      return;
    }
    if (failed_) {
      launchStopper();
      return;
    }
    const GilOnState gil(threadState_.own());
    PyObject* result = PyObject_CallNoArgs(callable_.ptr());
    if (result != nullptr) {
      Py_DECREF(result);
      return;
    }
    // Whatever it raised, SystemExit and KeyboardInterrupt too: nothing may
    // leave the loop thread, and only the program decides to end.
    failed_ = true;
    PyObject* error = takeRaisedException();
    reportLoopException("LoopFunc " + name_ + ": the callback raised an exception; the loop stops.",
                        error);
    reportError(describeException(error));
    error_.keep(error);
  }

  // A loop cannot join its own thread: a helper stops it. Retried each
  // period until the state lock is free, since a start or stop in progress
  // may hold it while waiting for this very thread.
  void launchStopper() {
    if (stopperLaunched_) return;
    std::unique_lock<std::mutex> lock(stateMutex_, std::try_to_lock);
    if (!lock.owns_lock()) return;
    stopperLaunched_ = true;
    stopper_ = std::thread([this] {
      std::lock_guard<std::mutex> stopLock(stateMutex_);
      if (running_) {
        sdk::Loop::shutdown();
        stoppedItself_ = true;
      }
      running_ = false;
    });
  }

  void joinStopper() {
    std::thread stopper;
    {
      std::lock_guard<std::mutex> lock(stateMutex_);
      stopper.swap(stopper_);
    }
    if (stopper.joinable()) stopper.join();
  }

  const std::string name_;
  const py::object callable_;
  const std::function<void()> native_;
  std::atomic<bool> failed_{false};
  bool stopperLaunched_ = false;  // loop thread only, or under stateMutex_ while idle
  std::mutex stateMutex_;         // guards running_, stopper_ and the base's start/shutdown
  bool running_ = false;
  bool stoppedItself_ = false;  // by its callback's exception, not yet shut down
  std::thread stopper_;
  LoopThreadState threadState_;  // dropped with stateMutex_ held
  CallTimes callTimes_;
  LoopError error_;
};

}  // namespace

void bindLoops(py::module_& m) {
  py::class_<PythonLoop>(
      m, "LoopFunc",
      "A thread that calls a Python callable once per period.\n\n"
      "The period is kept by a kernel timer: a call that overruns is followed at once by\n"
      "the next, missed periods are not made up. The thread takes the GIL only around the\n"
      "call. Given udp.Send, udp.Recv or lcm.Recv, it calls them in C++ without the GIL.\n"
      "The callable is called with no arguments: one that is not callable or needs\n"
      "arguments is refused with TypeError here. If it raises (SystemExit and\n"
      "KeyboardInterrupt too), the exception and its traceback are printed once on\n"
      "standard error and that loop stops; the process goes on. The exception is the\n"
      "loop's `error`, and the next shutdown() raises it; start() may run it again.\n\n"
      "Prints '[Loop Start] named: NAME, period: MS(ms), cpu unspecified' on start and\n"
      "'[Loop End] named: NAME' as the thread ends. Stop loops before the objects they\n"
      "use go away; loops still running when the interpreter exits are stopped then.")
      .def(py::init([](std::string name, float period, py::object callable) {
             checkCallable(callable, 0, "LoopFunc: the callback", "no arguments");
             return new PythonLoop(std::move(name), period, -1, std::move(callable));
           }),
           py::arg("name"), py::arg("period"), py::arg("callback"),
           "Unpinned loop; `period` in seconds (0.002 = 2 ms).")
      .def(py::init([](std::string name, float period, int bindCPU, py::object callable) {
             checkCallable(callable, 0, "LoopFunc: the callback", "no arguments");
             return new PythonLoop(std::move(name), period, bindCPU, std::move(callable));
           }),
           py::arg("name"), py::arg("period"), py::arg("bindCPU"), py::arg("callback"),
           "Loop pinned to CPU `bindCPU` (1 or more; below 1 means unpinned). Ends the\n"
           "process (status 254) at start() when the thread cannot be pinned.")
      .def(
          "start",
          [](PythonLoop& loop) {
            py::object previousError;  // dropped after the GIL is back
            py::gil_scoped_release release;
            loop.start(previousError);
          },
          "Starts the loop thread; its first call comes at once. A stopped loop may be\n"
          "started again, which clears `error`.")
      .def(
          "shutdown",
          [](PythonLoop& loop) {
            {
              py::gil_scoped_release release;
              loop.stop(false);
            }
            loop.error().raiseOnce();
          },
          "Stops the loop thread and waits for it: at most the call in progress plus one\n"
          "period. Not from the loop's own callback. If the callback's exception stopped\n"
          "the loop, raises that exception (once; later shutdowns do not).")
      .def_property_readonly(
          "error", [](PythonLoop& loop) { return loop.error().get(); },
          "The exception that stopped the loop's last run, or None.")
      .def(
          "record_call_times", [](PythonLoop& loop, size_t count) { loop.recordCallTimes(count); },
          py::arg("count"), py::call_guard<py::gil_scoped_release>(),
          "From the next start(), records when each of the loop's first `count` calls\n"
          "begins and ends; forgets what was recorded before. Only while the loop is\n"
          "stopped (RuntimeError otherwise).")
      .def("call_times", &PythonLoop::callTimes,
           "The calls recorded so far: (begin, end) pairs in ns on the clock of\n"
           "time.monotonic_ns, taken by the loop thread around the whole call (for a\n"
           "Python callable, taking and releasing the GIL included).")
      .def("status", &PythonLoop::status, "The loop's LoopStatus, from any thread.");

  stopLoopsAtExit();  // LoopFunc's and the state loops'

  m.def("InitEnvironment", &sdk::InitEnvironment,
        "Prepares the process for real-time control, once, from the main thread before any\n"
        "loop starts: locks all memory and makes the main thread SCHED_FIFO at\n"
        "THREAD_PRIORITY, which loops started afterwards inherit. On failure prints\n"
        "'Error: Lock memory failed.' or 'Error: Pthread set sched policy failed.' and\n"
        "ENDS THE PROCESS (status 254).");
}

}  // namespace kalvent_python
