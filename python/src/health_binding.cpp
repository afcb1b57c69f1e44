// The link-health view of an endpoint, and the real-time set-up that reports
// instead of ending the process.
#include <kalvent_legged_sdk.h>
#include <kalvent_legged_sdk/link_health.h>
#include <kalvent_legged_sdk/realtime.h>

#include <string>

#include "bindings.h"
#include "endpoint.h"

namespace kalvent_python {

namespace sdk = KALVENT_LEGGED_SDK;

void bindHealth(py::module_& m, py::class_<Endpoint>& udp) {
  using sdk::LinkHealth;
  py::class_<LinkHealth>(m, "LinkHealth",
                         "How well an endpoint's link works; every reader is lock-free and may "
                         "be called from any thread.")
      .def("anyValid", &LinkHealth::anyValid, "A packet with a good checksum has arrived.")
      .def("stateAge", &LinkHealth::stateAge,
           "Seconds since the newest valid packet arrived; inf before the first.")
      .def("stale", &LinkHealth::stale, py::arg("thresholdSeconds"), "stateAge() > threshold.")
      .def("validPackets", &LinkHealth::validPackets, "Packets accepted.")
      .def("emptyPolls", &LinkHealth::emptyPolls, "Recv calls that found nothing.")
      .def("checksumFailures", &LinkHealth::checksumFailures,
           "Datagrams that arrived and failed the checksum.")
      .def("tickRestarts", &LinkHealth::tickRestarts,
           "Times the state's tick went backwards (the controller restarted).")
      .def("recentLoss", &LinkHealth::recentLoss,
           "Share 0..1 of state packets lost over the last second; NaN until measurable.")
      .def("waitForFirstState", &LinkHealth::waitForFirstState, py::arg("timeoutSeconds"),
           py::call_guard<py::gil_scoped_release>(),
           "True once a valid state arrived, False on timeout. Releases the GIL.")
      .def("setWarnings", &LinkHealth::setWarnings, py::arg("enabled"),
           "Warnings on stderr on (default) or off.");
  udp.def(
      "linkHealth", [](Endpoint& e) -> LinkHealth& { return e.udp->linkHealth(); },
      py::return_value_policy::reference_internal, "The endpoint's LinkHealth view.");

  using sdk::RealtimeReport;
  py::class_<RealtimeReport>(m, "RealtimeReport", "What TryInitEnvironment achieved.")
      .def_readonly("memoryLocked", &RealtimeReport::memoryLocked)
      .def_readonly("fifoScheduling", &RealtimeReport::fifoScheduling)
      .def_readonly("priority", &RealtimeReport::priority)
      .def_property_readonly("reason",
                             [](const RealtimeReport& r) { return std::string(r.reason); });
  m.def("TryInitEnvironment", &sdk::TryInitEnvironment, py::arg("priority") = sdk::THREAD_PRIORITY,
        "Locks memory and makes the calling thread SCHED_FIFO at `priority`; never ends the\n"
        "process: returns a RealtimeReport and writes a stderr line for each failure.");
}

}  // namespace kalvent_python
