// class LCM and its record handlers.
#include <kalvent_legged_sdk.h>

#include <cstdio>
#include <cstring>

#include "bindings.h"
#include "record_view.h"
#include "setup_errors.h"

namespace kalvent_python {

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

// Holds a handler's mutex for one scope.
class MutexLock {
 public:
  explicit MutexLock(pthread_mutex_t& mutex) : mutex_(mutex) { pthread_mutex_lock(&mutex_); }
  ~MutexLock() { pthread_mutex_unlock(&mutex_); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  pthread_mutex_t& mutex_;
};

template <typename T>
void bindHandler(py::module_& m, const char* name) {
  using Handler = sdk::LCMHandler<T>;
  py::class_<Handler>(m, name, "Receives one record type from one channel and keeps the newest.")
      .def_property_readonly(
          "isrunning", [](const Handler& h) { return h.isrunning; },
          "True once a record has arrived; never cleared.")
      .def_property(
          "counter",
          [](Handler& h) {
            MutexLock lock(h.countMut);
            return h.counter;
          },
          [](Handler& h, int32_t value) {
            MutexLock lock(h.countMut);
            h.counter = value;
          },
          "Set to 0 on every record received; yours to count up to measure a record's age.")
      .def_property_readonly(
          "sourceBuf",
          [](Handler& h) {
            RecordView<T> copy;
            MutexLock lock(h.recvMut);
            std::memcpy(copy.bytes, &h.sourceBuf, sizeof(T));
            return copy;
          },
          "A copy of the newest record received (all zero before the first).");
}

template <typename T>
void bindSendAndGet(py::class_<sdk::LCM>& lcm) {
  lcm.def(
      "Send", [](sdk::LCM& l, RecordView<T>& record) { return l.Send(record.record()); },
      py::arg("record"), py::call_guard<py::gil_scoped_release>(),
      "Publishes the record on its own channel; the record is not changed. Returns 0.");
  lcm.def(
      "Get", [](sdk::LCM& l, RecordView<T>& record) { l.Get(record.record()); }, py::arg("record"),
      "Copies the newest received record of that type (all zero before the first) into\n"
      "`record`.");
}

}  // namespace

void bindLcm(py::module_& m) {
  bindHandler<sdk::HighState>(m, "HighStateLCMHandler");
  bindHandler<sdk::LowState>(m, "LowStateLCMHandler");
  bindHandler<sdk::HighCmd>(m, "HighCmdLCMHandler");
  bindHandler<sdk::LowCmd>(m, "LowCmdLCMHandler");

  py::class_<sdk::LCM> lcm(
      m, "LCM",
      "One process's end of the LCM bridge, for one level. SubscribeCmd (the process that\n"
      "owns the UDP link) or SubscribeState (the process that computes commands) once,\n"
      "then call Recv repeatedly on one thread, e.g. from a LoopFunc given lcm.Recv\n"
      "(called in C++ without the GIL). The transport follows LCM_DEFAULT_URL.\n\n"
      "An invalid level raises ValueError; if LCM cannot be set up, OSError. The\n"
      "interpreter goes on either way.");
  lcm.def(py::init([](uint8_t level) {
            auto bridge = madeOrRaised(sdk::LCM::open(level));
            // What the classic constructor prints; the factory prints nothing.
            std::printf("LCM Initialized. ");
            return bridge;
          }),
          py::arg("level"), "Prints 'LCM Initialized. '.")
      .def("SubscribeCmd", &sdk::LCM::SubscribeCmd,
           "Command side: receive the level's command channel.")
      .def("SubscribeState", &sdk::LCM::SubscribeState,
           "State side: receive the level's state channel.")
      .def("Recv", &sdk::LCM::Recv, py::call_guard<py::gil_scoped_release>(),
           "Waits up to 1980 µs for a message, then handles every message waiting. Returns 1,\n"
           "or -2 when nothing arrived in time. Releases the GIL.");
  bindSendAndGet<sdk::HighCmd>(lcm);
  bindSendAndGet<sdk::LowCmd>(lcm);
  bindSendAndGet<sdk::HighState>(lcm);
  bindSendAndGet<sdk::LowState>(lcm);
  lcm.def_property_readonly(
         "highStateLCMHandler", [](sdk::LCM & l) -> auto& { return l.highStateLCMHandler; },
         py::return_value_policy::reference_internal)
      .def_property_readonly(
          "lowStateLCMHandler", [](sdk::LCM & l) -> auto& { return l.lowStateLCMHandler; },
          py::return_value_policy::reference_internal)
      .def_property_readonly(
          "highCmdLCMHandler", [](sdk::LCM & l) -> auto& { return l.highCmdLCMHandler; },
          py::return_value_policy::reference_internal)
      .def_property_readonly(
          "lowCmdLCMHandler", [](sdk::LCM & l) -> auto& { return l.lowCmdLCMHandler; },
          py::return_value_policy::reference_internal);
}

}  // namespace kalvent_python
