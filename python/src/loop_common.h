// What LoopFunc and the state loops share beyond calling Python: the
// exception that stopped a run, the loop thread's own Python thread state,
// and the stop of the loops still running when the interpreter exits.
#pragma once

#include <pybind11/pybind11.h>

#include <mutex>
#include <string>

namespace kalvent_python {

namespace py = pybind11;

// The exception that stopped a loop's last run, kept for the program. Its
// lock is never held while waiting for the GIL.
class LoopError {
 public:
  LoopError() = default;
  ~LoopError();  // GIL held
  LoopError(const LoopError&) = delete;
  LoopError& operator=(const LoopError&) = delete;

  // GIL held: takes `error` (a new reference), to be raised once.
  void keep(PyObject* error);
  // Hands over the exception (a reference, or null), which the caller
  // releases with the GIL held.
  PyObject* take();
  // GIL held: the exception, or None.
  py::object get();
  // GIL held, after a shutdown: raises the exception, the first time only,
  // with its own traceback below the frames it passes now.
  void raiseOnce();

 private:
  std::mutex mutex_;
  PyObject* error_ = nullptr;  // owned
  bool raised_ = false;
};

// Loop thread, GIL held: `header` and the traceback of `error` on Python's
// standard error. What fails here (no sys.stderr...) is dropped: the loop
// stops either way.
void reportLoopException(const std::string& header, PyObject* error);

// A loop thread's one Python thread state for its whole run: making and
// clearing one around every call costs more than a whole control step.
class LoopThreadState {
 public:
  bool made() const { return state_ != nullptr; }
  // On the loop thread: the state, made by its first call.
  PyThreadState* own();
  // Once the loop thread has ended: the state goes. Takes the GIL, so the
  // caller must not hold a lock that a GIL holder waits for.
  void drop();

 private:
  PyThreadState* state_ = nullptr;  // the loop thread's, or a finished one's
};

// A loop that the interpreter's exit stops, before Python goes away under
// its thread. Enrolled from its construction to its destruction's start.
class ExitStoppable {
 public:
  ExitStoppable(const ExitStoppable&) = delete;
  ExitStoppable& operator=(const ExitStoppable&) = delete;
  // At the interpreter's exit, with the GIL released.
  virtual void stopForExit() = 0;

 protected:
  ExitStoppable() = default;
  ~ExitStoppable() = default;
  void enrolForExit();
  void withdrawFromExit();
};

// Registers with atexit the stop of every enrolled loop. Once, at import.
void stopLoopsAtExit();

}  // namespace kalvent_python
