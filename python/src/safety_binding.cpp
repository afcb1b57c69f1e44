// class Safety.
#include <kalvent_legged_sdk.h>

#include <memory>

#include "bindings.h"
#include "record_view.h"
#include "setup_errors.h"

namespace kalvent_python {

namespace sdk = KALVENT_LEGGED_SDK;

void bindSafety(py::module_& m) {
  py::class_<sdk::Safety>(
      m, "Safety",
      "Safety guards for low-level joint commands: apply them to your LowCmd and the latest\n"
      "LowState after computing the command and before UDP.SetSend. They touch the twelve\n"
      "leg joints (slots 0-11) only. Prints 'End Safety.' when destroyed.\n\n"
      "PowerProtect and PositionProtect END THE PROCESS (status 254) when they fire, after\n"
      "setting the mode of motors 0-11 in the command to 0. Python's own buffered output is\n"
      "flushed first when the guard runs on a thread that holds the GIL.")
      .def(py::init([](sdk::LeggedType type) {
             // The factory's check raises; the classic Safety, which can no
             // longer fail, keeps 'End Safety.' on destruction.
             madeOrRaised(sdk::Safety::create(type));
             return std::make_unique<sdk::Safety>(type);
           }),
           py::arg("type"),
           "Takes the joint ranges of the robot model `type`; ValueError for any other value.")
      .def("PositionLimit", onRecords(&sdk::Safety::PositionLimit), py::arg("send"),
           "Clamps the twelve commanded leg positions q into their joint ranges. A PosStopF\n"
           "marker is clamped like any value; a NaN is left as it is.")
      .def("PowerProtect", onRecords(&sdk::Safety::PowerProtect), py::arg("send"), py::arg("recv"),
           py::arg("factor"),
           "Sum of |tauEst * dq| over the twelve leg motors against factor x 100 W (factor\n"
           "1..10). The sixth call over the limit in a row (an up-down count) zeroes the\n"
           "modes, prints 'Error: Power Protection.' and ENDS THE PROCESS (status 254).")
      .def("PositionProtect", onRecords(&sdk::Safety::PositionProtect), py::arg("send"),
           py::arg("recv"), py::arg("limit"),
           "Checks the twelve measured angles against the joint ranges narrowed by `limit` rad\n"
           "at both ends. If any lies outside, prints the offending joints, zeroes the modes,\n"
           "prints 'Error: Position Protection.' and ENDS THE PROCESS (status 254).");
}

}  // namespace kalvent_python
