// Numpy arrays that alias a record's numbers: the twelve leg joints' fields,
// which lie one motor record apart, the foot forces and the IMU vectors.
//
// A view is made once and read or written every control step without any
// copy or allocation. The records are packed, so most views are unaligned:
// numpy reads and writes them all the same, and says so in their flags.
// numpy itself is imported only when a view is asked for, so that the module
// works without it.
#include <kalvent_legged_sdk.h>
#include <pybind11/numpy.h>

#include <cstddef>
#include <string>
#include <vector>

#include "bindings.h"
#include "joint_arrays.h"
#include "record_view.h"

namespace kalvent_python {

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

// One array in a record: `count` numbers of type E from `offset`, `stride`
// bytes apart.
struct ArrayField {
  const char* name;
  bool isFloat;  // float32, else int16
  size_t offset;
  size_t count;
  size_t stride;
};

using ArrayFields = std::vector<ArrayField>;

template <typename Motor>
ArrayField jointField(const char* name, size_t motors, size_t field) {
  return {name, true, motors + field, static_cast<size_t>(kLegJoints), sizeof(Motor)};
}

ArrayField shorts(const char* name, size_t offset, size_t count) {
  return {name, false, offset, count, sizeof(int16_t)};
}

// A vector of the IMU record that lies at `imu`.
ArrayField imuField(const char* name, size_t imu, size_t field, size_t count) {
  return {name, true, imu + field, count, sizeof(float)};
}

// What both state records carry: the foot forces and the IMU's vectors.
template <typename State>
ArrayFields footAndImuFields() {
  const size_t imu = offsetof(State, imu);
  return {shorts("footForce", offsetof(State, footForce), 4),
          shorts("footForceEst", offsetof(State, footForceEst), 4),
          imuField("quaternion", imu, offsetof(sdk::IMU, quaternion), 4),
          imuField("gyroscope", imu, offsetof(sdk::IMU, gyroscope), 3),
          imuField("accelerometer", imu, offsetof(sdk::IMU, accelerometer), 3),
          imuField("rpy", imu, offsetof(sdk::IMU, rpy), 3)};
}

// The dtype of float32 or int16; an ImportError that names what needs numpy
// when it is missing.
py::dtype dtypeOf(bool isFloat, const char* recordClass) {
  try {
    return isFloat ? py::dtype::of<float>() : py::dtype::of<int16_t>();
  } catch (py::error_already_set& missing) {
    if (!missing.matches(PyExc_ImportError)) throw;
    throw py::import_error(std::string(recordClass) +
                           ".view() needs numpy (Debian: apt install python3-numpy)");
  }
}

// view() on the record class `recordClass`, already in `m`.
template <typename R>
void bindViews(py::module_& m, const char* recordClass, const ArrayFields& fields) {
  auto cls = py::reinterpret_borrow<py::class_<RecordView<R>>>(m.attr(recordClass));
  std::string names;
  for (const ArrayField& field : fields) {
    names += std::string(names.empty() ? "" : ", ") + field.name;
  }
  cls.def(
      "view",
      [recordClass, fields, names](const py::object& self, const std::string& name) {
        const RecordView<R>& record = self.cast<const RecordView<R>&>();
        for (const ArrayField& field : fields) {
          if (name != field.name) continue;
          const py::dtype type = dtypeOf(field.isFloat, recordClass);
          return py::array(type, {static_cast<py::ssize_t>(field.count)},
                           {static_cast<py::ssize_t>(field.stride)}, record.bytes + field.offset,
                           self);
        }
        throw py::key_error(std::string(recordClass) + ".view: no array '" + name + "'; one of " +
                            names);
      },
      py::arg("name"),
      ("A numpy array that aliases the record's numbers (writing one writes the\n"
       "other), made once and used every control step without copy or allocation. It\n"
       "keeps the record alive. Names: " +
       names +
       ". Joint arrays are the twelve leg joints (slots 0-11), float32, one motor\n"
       "record apart; foot forces are int16. Needs numpy (python3-numpy).")
          .c_str());
}

}  // namespace

void bindNumpyViews(py::module_& m) {
  const size_t stateMotors = offsetof(sdk::LowState, motorState);
  ArrayFields lowState = {
      jointField<sdk::MotorState>("q", stateMotors, offsetof(sdk::MotorState, q)),
      jointField<sdk::MotorState>("dq", stateMotors, offsetof(sdk::MotorState, dq)),
      jointField<sdk::MotorState>("ddq", stateMotors, offsetof(sdk::MotorState, ddq)),
      jointField<sdk::MotorState>("tauEst", stateMotors, offsetof(sdk::MotorState, tauEst))};
  const ArrayFields lowBody = footAndImuFields<sdk::LowState>();
  lowState.insert(lowState.end(), lowBody.begin(), lowBody.end());

  const size_t cmdMotors = offsetof(sdk::LowCmd, motorCmd);
  const ArrayFields lowCmd = {
      jointField<sdk::MotorCmd>("q", cmdMotors, offsetof(sdk::MotorCmd, q)),
      jointField<sdk::MotorCmd>("dq", cmdMotors, offsetof(sdk::MotorCmd, dq)),
      jointField<sdk::MotorCmd>("tau", cmdMotors, offsetof(sdk::MotorCmd, tau)),
      jointField<sdk::MotorCmd>("Kp", cmdMotors, offsetof(sdk::MotorCmd, Kp)),
      jointField<sdk::MotorCmd>("Kd", cmdMotors, offsetof(sdk::MotorCmd, Kd))};

  bindViews<sdk::LowState>(m, "LowState", lowState);
  bindViews<sdk::HighState>(m, "HighState", footAndImuFields<sdk::HighState>());
  bindViews<sdk::LowCmd>(m, "LowCmd", lowCmd);
}

}  // namespace kalvent_python
