// The library's set-up errors as Python exceptions.
#include "setup_errors.h"

namespace kalvent_python {

namespace sdk = KALVENT_LEGGED_SDK;

void raiseSetUpError(const sdk::Error& error) {
  switch (error.step) {
    case sdk::Step::LevelSelector:
    case sdk::Step::RobotModelSelector:
    case sdk::Step::PacketLength:
      throw py::value_error(error.message);
    default:
      break;
  }
  PyErr_SetObject(PyExc_OSError, py::make_tuple(error.errnoValue, error.message).ptr());
  throw py::error_already_set();
}

}  // namespace kalvent_python
