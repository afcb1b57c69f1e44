// Twelve joints in, twelve joints out, each field copied by memcpy at its
// offset in the packed record.
#include "joint_arrays.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <string>

namespace kalvent_python {

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

using Twelve = std::array<double, kLegJoints>;

template <typename Motor>
size_t slotOffset(size_t arrayOffset, int slot, size_t fieldOffset) {
  return arrayOffset + static_cast<size_t>(slot) * sizeof(Motor) + fieldOffset;
}

float loadFloat(const unsigned char* at) {
  float value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

void storeFloat(unsigned char* at, double value) {
  const auto single = static_cast<float>(value);
  std::memcpy(at, &single, sizeof single);
}

// A Python buffer of twelve float64 or float32, written or read in place.
class TwelveBuffer {
 public:
  TwelveBuffer(const py::handle& source, const char* name, bool writable) {
    if (PyObject_GetBuffer(source.ptr(), &view_,
                           PyBUF_FORMAT | PyBUF_C_CONTIGUOUS | (writable ? PyBUF_WRITABLE : 0)) !=
        0) {
      throw py::error_already_set();
    }
    const std::string format = view_.format ? view_.format : "B";
    const char kind = format.empty() ? '?' : format.back();
    const bool nativeOrder =
        format.size() == 1 || format[0] == '@' || format[0] == '=' || format[0] == '<';
    doubles_ = kind == 'd' && view_.itemsize == 8;
    if (!nativeOrder || !(doubles_ || (kind == 'f' && view_.itemsize == 4)) ||
        view_.len != kLegJoints * view_.itemsize) {
      PyBuffer_Release(&view_);
      throw py::value_error(std::string(name) + ": needs 12 float64 or float32 values");
    }
  }
  ~TwelveBuffer() { PyBuffer_Release(&view_); }
  TwelveBuffer(const TwelveBuffer&) = delete;
  TwelveBuffer& operator=(const TwelveBuffer&) = delete;

  double get(int i) const {
    if (doubles_) return static_cast<const double*>(view_.buf)[i];
    return static_cast<const float*>(view_.buf)[i];
  }
  void set(int i, float value) {
    if (doubles_) {
      static_cast<double*>(view_.buf)[i] = value;
    } else {
      static_cast<float*>(view_.buf)[i] = value;
    }
  }

 private:
  Py_buffer view_{};
  bool doubles_ = false;
};

// One argument of set_joints: None (leave the field), a number (all twelve)
// or twelve numbers as a list, tuple, any sequence or a float buffer.
bool readTwelve(const py::handle& source, const char* name, Twelve& out) {
  PyObject* object = source.ptr();
  if (object == Py_None) return false;
  if (PyFloat_Check(object) || PyLong_Check(object)) {
    const double value = PyFloat_AsDouble(object);
    if (PyErr_Occurred()) throw py::error_already_set();
    out.fill(value);
    return true;
  }
  if (PyObject_CheckBuffer(object) && !PyBytes_Check(object)) {
    TwelveBuffer buffer(source, name, false);
    for (int i = 0; i < kLegJoints; ++i) out[i] = buffer.get(i);
    return true;
  }
  py::object items = py::reinterpret_steal<py::object>(
      PySequence_Fast(object, "set_joints: needs a number or 12 numbers"));
  if (!items) throw py::error_already_set();
  if (PySequence_Fast_GET_SIZE(items.ptr()) != kLegJoints) {
    throw py::value_error(std::string(name) + ": needs 12 values");
  }
  PyObject** values = PySequence_Fast_ITEMS(items.ptr());
  for (int i = 0; i < kLegJoints; ++i) {
    out[i] = PyFloat_AsDouble(values[i]);
    if (out[i] == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  }
  return true;
}

py::tuple tupleOf(const Twelve& values) {
  py::tuple result(kLegJoints);
  for (int i = 0; i < kLegJoints; ++i) {
    PyObject* number = PyFloat_FromDouble(values[i]);
    if (!number) throw py::error_already_set();
    PyTuple_SET_ITEM(result.ptr(), i, number);
  }
  return result;
}

constexpr size_t kStateMotors = offsetof(sdk::LowState, motorState);
constexpr size_t kCmdMotors = offsetof(sdk::LowCmd, motorCmd);

// The fields at `fields` of the twelve leg motors of the record at `record`,
// whose motor array lies at `motors`: one tuple of 12 floats a field.
template <typename Motor, size_t N>
py::tuple fieldTuples(const unsigned char* record, size_t motors, const size_t (&fields)[N]) {
  Twelve values;
  py::tuple result(N);
  for (size_t f = 0; f < N; ++f) {
    for (int j = 0; j < kLegJoints; ++j) {
      values[j] = loadFloat(record + slotOffset<Motor>(motors, j, fields[f]));
    }
    result[f] = tupleOf(values);
  }
  return result;
}

void writeCmdField(const RecordView<sdk::LowCmd>& v, size_t field, const Twelve& values) {
  for (int j = 0; j < kLegJoints; ++j) {
    storeFloat(v.bytes + slotOffset<sdk::MotorCmd>(kCmdMotors, j, field), values[j]);
  }
}

const size_t kStateFields[3] = {offsetof(sdk::MotorState, q), offsetof(sdk::MotorState, dq),
                                offsetof(sdk::MotorState, tauEst)};
const size_t kCmdFields[5] = {offsetof(sdk::MotorCmd, q), offsetof(sdk::MotorCmd, dq),
                              offsetof(sdk::MotorCmd, Kp), offsetof(sdk::MotorCmd, Kd),
                              offsetof(sdk::MotorCmd, tau)};

}  // namespace

void bindLowStateJoints(py::class_<RecordView<sdk::LowState>>& cls) {
  cls.def(
      "joint_state",
      [](const RecordView<sdk::LowState>& v) {
        return fieldTuples<sdk::MotorState>(v.bytes, kStateMotors, kStateFields);
      },
      "(q, dq, tauEst) of the twelve leg joints (slots 0-11): three tuples of 12 floats.");
  cls.def(
      "joint_state_into",
      [](const RecordView<sdk::LowState>& v, const py::object& q, const py::object& dq,
         const py::object& tauEst) {
        const py::object* targets[3] = {&q, &dq, &tauEst};
        const char* names[3] = {"q", "dq", "tauEst"};
        for (int f = 0; f < 3; ++f) {
          if (targets[f]->is_none()) continue;
          TwelveBuffer buffer(*targets[f], names[f], true);
          for (int j = 0; j < kLegJoints; ++j) {
            buffer.set(j, loadFloat(v.bytes +
                                    slotOffset<sdk::MotorState>(kStateMotors, j, kStateFields[f])));
          }
        }
      },
      py::arg("q") = py::none(), py::arg("dq") = py::none(), py::arg("tauEst") = py::none(),
      "Writes q, dq and tauEst of the twelve leg joints into writable buffers of 12 float64\n"
      "or float32 (array.array('d'), a numpy array, a memoryview...); None skips one.\n"
      "Allocates nothing.");
}

void bindLowCmdJoints(py::class_<RecordView<sdk::LowCmd>>& cls) {
  cls.def(
      "set_joints",
      [](const RecordView<sdk::LowCmd>& v, const py::object& q, const py::object& dq,
         const py::object& Kp, const py::object& Kd, const py::object& tau,
         const py::object& mode) {
        struct Target {
          const py::object& source;
          const char* name;
          size_t offset;
        };
        const Target targets[5] = {{q, "q", offsetof(sdk::MotorCmd, q)},
                                   {dq, "dq", offsetof(sdk::MotorCmd, dq)},
                                   {Kp, "Kp", offsetof(sdk::MotorCmd, Kp)},
                                   {Kd, "Kd", offsetof(sdk::MotorCmd, Kd)},
                                   {tau, "tau", offsetof(sdk::MotorCmd, tau)}};
        // Everything is read before anything is written: a bad argument
        // leaves the command as it was.
        Twelve values[5];
        bool given[5];
        for (int f = 0; f < 5; ++f)
          given[f] = readTwelve(targets[f].source, targets[f].name, values[f]);
        Twelve modes;
        const bool modeGiven = readTwelve(mode, "mode", modes);
        if (modeGiven) {
          for (double m : modes) {
            if (!(m >= 0 && m <= 255 && m == static_cast<int>(m))) {
              throw py::value_error("mode: needs whole numbers 0-255");
            }
          }
        }
        for (int f = 0; f < 5; ++f) {
          if (given[f]) writeCmdField(v, targets[f].offset, values[f]);
        }
        if (modeGiven) {
          for (int j = 0; j < kLegJoints; ++j) {
            v.bytes[slotOffset<sdk::MotorCmd>(kCmdMotors, j, offsetof(sdk::MotorCmd, mode))] =
                static_cast<unsigned char>(modes[j]);
          }
        }
      },
      py::kw_only(), py::arg("q") = py::none(), py::arg("dq") = py::none(),
      py::arg("Kp") = py::none(), py::arg("Kd") = py::none(), py::arg("tau") = py::none(),
      py::arg("mode") = py::none(),
      "Sets fields of the twelve leg joints (slots 0-11) at once. Each argument is None\n"
      "(field left as it is), one number (all twelve) or twelve numbers (list, tuple,\n"
      "sequence, or a buffer of float64/float32). Values are stored as float32.");
  cls.def(
      "joint_command",
      [](const RecordView<sdk::LowCmd>& v) {
        return fieldTuples<sdk::MotorCmd>(v.bytes, kCmdMotors, kCmdFields);
      },
      "(q, dq, Kp, Kd, tau) of the twelve leg joints: five tuples of 12 floats.");
}

}  // namespace kalvent_python
