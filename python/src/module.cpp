// The Python module kalvent_legged_sdk: constants, the checksum, and the
// parts registered by their own files.
#include <kalvent_legged_sdk.h>

#include <cstdlib>
#include <string>

#include "bindings.h"
#include "endpoint.h"
#include "joint_arrays.h"
#include "version.h"
#include "wire.h"

namespace kalvent_python {

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

// Several calls end the process with exit(): flush what Python still holds
// for stdout and stderr first, when the ending thread holds the GIL (a
// Python call or callback). After the interpreter's own end this does
// nothing.
void flushPythonStreams() {
  if (!Py_IsInitialized() || !PyGILState_Check()) return;
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  for (const char* name : {"stdout", "stderr"}) {
    PyObject* stream = PySys_GetObject(name);  // borrowed
    if (stream && stream != Py_None) {
      PyObject* result = PyObject_CallMethod(stream, "flush", nullptr);
      Py_XDECREF(result);
      PyErr_Clear();
    }
  }
  PyErr_Restore(type, value, trace);
}

uint32_t checksum(const py::buffer& data, const py::object& words) {
  Py_buffer view{};
  if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_C_CONTIGUOUS) != 0) {
    throw py::error_already_set();
  }
  const auto available = static_cast<size_t>(view.len) / 4;
  const size_t count = words.is_none() ? available : words.cast<size_t>();
  if (count > available) {
    PyBuffer_Release(&view);
    throw py::value_error("the data holds " + std::to_string(available) + " whole words, not " +
                          std::to_string(count));
  }
  const uint32_t result =
      sdk::crc32(static_cast<uint32_t*>(view.buf), static_cast<uint32_t>(count));
  PyBuffer_Release(&view);
  return result;
}

}  // namespace

void bindConstants(py::module_& m) {
  m.attr("HIGHLEVEL") = sdk::HIGHLEVEL;
  m.attr("LOWLEVEL") = sdk::LOWLEVEL;
  m.attr("PosStopF") = sdk::PosStopF;
  m.attr("VelStopF") = sdk::VelStopF;

  py::enum_<sdk::LeggedType>(m, "LeggedType", "Robot model; selects the joint limits of Safety.")
      .value("Tesmar", sdk::LeggedType::Tesmar)
      .value("Pelk", sdk::LeggedType::Pelk);
  py::enum_<sdk::HighLevelType>(m, "HighLevelType",
                                "Which robot controller the default UDP endpoint talks to.")
      .value("Basic", sdk::HighLevelType::Basic)
      .value("Sport", sdk::HighLevelType::Sport);

  const std::pair<const char*, int> indices[] = {
      {"FR_", sdk::FR_},   {"FL_", sdk::FL_},   {"RR_", sdk::RR_},   {"RL_", sdk::RL_},
      {"FR_0", sdk::FR_0}, {"FR_1", sdk::FR_1}, {"FR_2", sdk::FR_2}, {"FL_0", sdk::FL_0},
      {"FL_1", sdk::FL_1}, {"FL_2", sdk::FL_2}, {"RR_0", sdk::RR_0}, {"RR_1", sdk::RR_1},
      {"RR_2", sdk::RR_2}, {"RL_0", sdk::RL_0}, {"RL_1", sdk::RL_1}, {"RL_2", sdk::RL_2}};
  for (const auto& [name, value] : indices) m.attr(name) = value;
  m.attr("LEG_JOINTS") = kLegJoints;

  m.attr("UDP_CLIENT_PORT") = sdk::UDP_CLIENT_PORT;
  m.attr("UDP_SERVER_PORT") = sdk::UDP_SERVER_PORT;
  m.attr("UDP_SERVER_IP_BASIC") = sdk::UDP_SERVER_IP_BASIC;
  m.attr("UDP_SERVER_IP_SPORT") = sdk::UDP_SERVER_IP_SPORT;
  m.attr("HIGH_CMD_LENGTH") = sdk::HIGH_CMD_LENGTH;
  m.attr("HIGH_STATE_LENGTH") = sdk::HIGH_STATE_LENGTH;
  m.attr("LOW_CMD_LENGTH") = sdk::LOW_CMD_LENGTH;
  m.attr("LOW_STATE_LENGTH") = sdk::LOW_STATE_LENGTH;
  m.attr("THREAD_PRIORITY") = sdk::THREAD_PRIORITY;

  m.attr("tesmar_Hip_max") = sdk::tesmar_Hip_max;
  m.attr("tesmar_Hip_min") = sdk::tesmar_Hip_min;
  m.attr("tesmar_Thigh_max") = sdk::tesmar_Thigh_max;
  m.attr("tesmar_Thigh_min") = sdk::tesmar_Thigh_min;
  m.attr("tesmar_Calf_max") = sdk::tesmar_Calf_max;
  m.attr("tesmar_Calf_min") = sdk::tesmar_Calf_min;
  m.attr("pelk_Hip_max") = sdk::pelk_Hip_max;
  m.attr("pelk_Hip_min") = sdk::pelk_Hip_min;
  m.attr("pelk_Thigh_max") = sdk::pelk_Thigh_max;
  m.attr("pelk_Thigh_min") = sdk::pelk_Thigh_min;
  m.attr("pelk_Calf_max") = sdk::pelk_Calf_max;
  m.attr("pelk_Calf_min") = sdk::pelk_Calf_min;

  m.attr("highCmdChannel") = sdk::highCmdChannel;
  m.attr("highStateChannel") = sdk::highStateChannel;
  m.attr("lowCmdChannel") = sdk::lowCmdChannel;
  m.attr("lowStateChannel") = sdk::lowStateChannel;
}

}  // namespace kalvent_python

PYBIND11_MODULE(kalvent_legged_sdk, m) {
  using namespace kalvent_python;
  m.doc() =
      "kalvent_legged_sdk: command a four-legged robot over UDP, from Python.\n\n"
      "Records (LowCmd, LowState, HighCmd, HighState, ...) have the C++ field names;\n"
      "nested records and arrays are views that write through to their parent;\n"
      "bytes(record) and Record.from_bytes(b) give and take the exact C++ byte image.\n"
      "LowState.joint_state() and LowCmd.set_joints() move the twelve leg joints in one\n"
      "call. UDP, Safety, LoopFunc, InitEnvironment and LCM behave as in C++, including\n"
      "the calls that end the process.";
  // "version:1.0.1" holds the one definition of the version.
  m.attr("__version__") = std::string(sdk::kVersionText).substr(std::string("version:").size());
  bindConstants(m);
  bindRecords(m);
  bindNumpyViews(m);
  py::class_<Endpoint> udp = bindEndpoint(m);
  bindHealth(m, udp);
  // Before the state loops: its exit call runs after theirs.
  bindRecorder(m);
  bindSafety(m);
  bindStateLoops(m);
  bindLoops(m);
  bindLcm(m);
  bindKinematics(m);
  m.def("crc32", &checksum, py::arg("data"), py::arg("words") = py::none(),
        "The packet checksum (CRC-32, polynomial 0x04C11DB7, initial 0xFFFFFFFF, no final\n"
        "XOR) over `words` little-endian 32-bit words of a bytes-like object; by default\n"
        "every whole word. A packet's checksum covers its first len // 4 - 1 words.");
  std::atexit(flushPythonStreams);
}
