// The module's parts, each registered by its own function.
#pragma once

#include <pybind11/pybind11.h>

namespace kalvent_python {

namespace py = pybind11;

void bindConstants(py::module_& m);
void bindRecords(py::module_& m);
void bindSafety(py::module_& m);
void bindLoops(py::module_& m);
void bindStateLoops(py::module_& m);
void bindNumpyViews(py::module_& m);
void bindLcm(py::module_& m);
void bindKinematics(py::module_& m);
void bindRecorder(py::module_& m);

}  // namespace kalvent_python
