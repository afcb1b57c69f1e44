// The link-health view of an endpoint, and the real-time set-up that reports
// instead of ending the process.
#include <kalvent_legged_sdk.h>
#include <kalvent_legged_sdk/link_health.h>
#include <kalvent_legged_sdk/realtime.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>

#include "bindings.h"
#include "endpoint.h"

namespace kalvent_python {

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

// Longest stretch a wait spends without looking for Ctrl-C, s.
const double kSignalCheckSeconds = 0.05;

// waitForFirstState in slices, the GIL released during each and pending
// signals handled between them, so that Ctrl-C ends the wait at once
// (KeyboardInterrupt) however long it was asked to be. Infinity waits until
// a state comes.
bool waitForFirstState(const sdk::LinkHealth& health, double timeoutSeconds) {
  if (std::isnan(timeoutSeconds) || timeoutSeconds < 0) {
    throw py::value_error(
        "waitForFirstState: the timeout must be 0 or more seconds (inf: no "
        "limit), not " +
        std::string(py::str(py::float_(timeoutSeconds))));
  }
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  for (;;) {
    const double waited = std::chrono::duration<double>(Clock::now() - start).count();
    const double slice = std::clamp(timeoutSeconds - waited, 0.0, kSignalCheckSeconds);
    bool arrived;
    {
      py::gil_scoped_release release;
      arrived = health.waitForFirstState(slice);
    }
    if (arrived) return true;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    if (slice < kSignalCheckSeconds) return false;
  }
}

}  // namespace

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
      .def("waitForFirstState", &waitForFirstState, py::arg("timeoutSeconds"),
           "True once a valid state arrived, False after timeoutSeconds (inf: waits until a\n"
           "state comes). NaN or a negative timeout raises ValueError. Releases the GIL and\n"
           "sees Ctrl-C within 50 ms (KeyboardInterrupt).")
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
