// What the loops share about calling Python from threads of their own: the
// check of a callable when a loop is built, the GIL on a lasting thread
// state, and an exception taken off the thread that raised it.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace kalvent_python {

namespace py = pybind11;

// Refuses, with TypeError, a `callable` that is not callable or that cannot
// take `arguments` positional arguments. `role` names it in the message
// ("LoopFunc: the callback"), `calledWith` says what it is given ("no
// arguments"). A callable whose signature Python cannot tell (some
// built-ins) is taken as it is.
void checkCallable(const py::object& callable, int arguments, const std::string& role,
                   const char* calledWith);

// The exception being raised, with its traceback attached; clears it. GIL
// held.
PyObject* takeRaisedException();

// "Type: message" of an exception, for a loop's status. GIL held.
std::string describeException(PyObject* error);

// Holds the GIL for a scope on a thread state that outlives the scope.
class GilOnState {
 public:
  explicit GilOnState(PyThreadState* state) { PyEval_RestoreThread(state); }
  ~GilOnState() { PyEval_SaveThread(); }
  GilOnState(const GilOnState&) = delete;
  GilOnState& operator=(const GilOnState&) = delete;
};

}  // namespace kalvent_python
