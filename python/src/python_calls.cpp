// Checking callables and taking exceptions, for the loops.
#include "python_calls.h"

namespace kalvent_python {

void checkCallable(const py::object& callable, int arguments, const std::string& role,
                   const char* calledWith) {
  if (!PyCallable_Check(callable.ptr())) {
    throw py::type_error(role + " must be callable, not " + Py_TYPE(callable.ptr())->tp_name);
  }
  py::object signature;
  try {
    signature = py::module_::import("inspect").attr("signature")(callable);
  } catch (py::error_already_set& unknown) {
    if (unknown.matches(PyExc_ValueError) || unknown.matches(PyExc_TypeError)) return;
    throw;
  }
  try {
    py::list nones;
    for (int i = 0; i < arguments; ++i) nones.append(py::none());
    signature.attr("bind")(*nones);
  } catch (py::error_already_set& refused) {
    if (!refused.matches(PyExc_TypeError)) throw;
    throw py::type_error(role + " is called with " + calledWith + ", but its signature is " +
                         std::string(py::str(signature)));
  }
}

PyObject* takeRaisedException() {
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  PyErr_NormalizeException(&type, &value, &trace);
  if (trace != nullptr && value != nullptr) PyException_SetTraceback(value, trace);
  Py_XDECREF(type);
  Py_XDECREF(trace);
  return value;
}

std::string describeException(PyObject* error) {
  try {
    const py::handle value(error);
    return py::str("{}: {}").format(py::type::handle_of(value).attr("__name__"), value);
  } catch (py::error_already_set&) {
    PyErr_Clear();
    return "an exception that cannot be shown";
  }
}

}  // namespace kalvent_python
