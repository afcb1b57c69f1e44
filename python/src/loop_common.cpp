// The exception a loop keeps, its thread state, and the stop at exit.
#include "loop_common.h"

#include <set>

namespace kalvent_python {

LoopError::~LoopError() {
  Py_XDECREF(error_);
}

void LoopError::keep(PyObject* error) {
  PyObject* replaced;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    replaced = error_;
    error_ = error;
    raised_ = false;
  }
  Py_XDECREF(replaced);
}

PyObject* LoopError::take() {
  const std::lock_guard<std::mutex> lock(mutex_);
  PyObject* error = error_;
  error_ = nullptr;
  raised_ = false;
  return error;
}

py::object LoopError::get() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return py::reinterpret_borrow<py::object>(error_ != nullptr ? error_ : Py_None);
}

void LoopError::raiseOnce() {
  PyObject* error = nullptr;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (error_ == nullptr || raised_) return;
    raised_ = true;
    error = error_;
    Py_INCREF(error);
  }
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(error));
  Py_INCREF(type);
  PyErr_Restore(type, error, PyException_GetTraceback(error));
  throw py::error_already_set();
}

void reportLoopException(const std::string& header, PyObject* error) {
  try {
    const py::object stderrStream = py::module_::import("sys").attr("stderr");
    stderrStream.attr("write")(header + "\n");
    py::module_::import("traceback").attr("print_exception")(py::handle(error));
    stderrStream.attr("flush")();
  } catch (...) {
    PyErr_Clear();
  }
}

PyThreadState* LoopThreadState::own() {
  if (state_ == nullptr) {
    PyGILState_Ensure();
    state_ = PyEval_SaveThread();
  }
  return state_;
}

void LoopThreadState::drop() {
  if (state_ == nullptr) return;
  const PyGILState_STATE gil = PyGILState_Ensure();
  PyThreadState_Clear(state_);
  PyThreadState_Delete(state_);
  PyGILState_Release(gil);
  state_ = nullptr;
}

namespace {

std::mutex registryMutex;
std::set<ExitStoppable*> registry;

}  // namespace

void ExitStoppable::enrolForExit() {
  const std::lock_guard<std::mutex> lock(registryMutex);
  registry.insert(this);
}

void ExitStoppable::withdrawFromExit() {
  const std::lock_guard<std::mutex> lock(registryMutex);
  registry.erase(this);
}

void stopLoopsAtExit() {
  py::module_::import("atexit").attr("register")(py::cpp_function([] {
    py::gil_scoped_release release;
    const std::lock_guard<std::mutex> lock(registryMutex);
    for (ExitStoppable* loop : registry) loop->stopForExit();
  }));
}

}  // namespace kalvent_python
