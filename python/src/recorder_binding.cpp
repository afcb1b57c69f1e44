// class Recorder: a program's exchange with the controller recorded to a
// file, from Python.
//
// Python adds nothing to the control thread's cost: Send and Recv copy each
// packet into the recorder's rings in C++, and the recorder's own thread
// writes the file. The GIL is released while the file is opened, while the
// recorder waits for the endpoint's calls in progress, and while its last
// records are written at close.
//
// The library's recorder must go before its endpoint and while no Send or
// Recv runs. The Python recorder holds its endpoint alive until it is
// closed, and closes with the endpoint's Send, Recv and packet locks held,
// which shuts out the Python calls and the LoopFuncs. A state loop's thread
// calls Send and Recv without those locks: a recorder closed while one runs
// on its endpoint refuses (close()), or, dropped or left by an exception,
// stays open until the interpreter's exit, which stops the state loops first.
#include <kalvent_legged_sdk.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "bindings.h"
#include "endpoint.h"

namespace kalvent_python {

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

// A recorder whose endpoint a state loop still used when it was to close,
// kept until the interpreter's exit. GIL held for the list.
struct Deferred {
  std::unique_ptr<sdk::Recorder> recorder;
  py::object endpoint;
};
std::vector<Deferred> deferred;

class PythonRecorder {
 public:
  // GIL held; released while the file is opened. OSError with errno and
  // the file name when it cannot be created.
  PythonRecorder(const py::object& path, std::size_t slotsPerDirection) {
    const py::module_ os = py::module_::import("os");
    path_ = py::str(os.attr("fsdecode")(path));
    const std::string bytes = os.attr("fsencode")(path).cast<std::string>();
    try {
      py::gil_scoped_release release;
      recorder_ = std::make_unique<sdk::Recorder>(bytes, slotsPerDirection);
    } catch (const std::system_error& error) {
      const int code = error.code().value();
      PyErr_SetObject(PyExc_OSError,
                      py::make_tuple(code, std::generic_category().message(code), path_).ptr());
      throw py::error_already_set();
    }
  }

  // GIL held, as Python releases the object.
  ~PythonRecorder() {
    if (recorder_ && !finish()) defer();
  }

  PythonRecorder(const PythonRecorder&) = delete;
  PythonRecorder& operator=(const PythonRecorder&) = delete;

  // `target`: a UDP, or a state loop, whose endpoint() is recorded.
  void attach(const py::object& target) {
    refuseClosed("attach");
    if (endpoint_) throw std::logic_error("Recorder: already attached to an endpoint");
    py::object udp = target;
    if (!py::isinstance<Endpoint>(target)) {
      if (!py::hasattr(target, "endpoint")) {
        throw py::type_error("Recorder.attach: a UDP, LowStateLoop or HighStateLoop, not " +
                             std::string(py::str(py::type::of(target).attr("__name__"))));
      }
      udp = target.attr("endpoint")();
    }
    auto& endpoint = udp.cast<Endpoint&>();
    {
      py::gil_scoped_release release;
      const std::scoped_lock lock(endpoint.sendCall, endpoint.recvCall, endpoint.packets);
      recorder_->attach(*endpoint.udp);
    }
    endpoint_ = std::move(udp);
  }

  // Raises RuntimeError, the recorder left open, while a state loop runs on
  // its endpoint. Closing twice does nothing.
  void close() {
    if (recorder_ && !finish()) throw std::runtime_error(kStateLoopRuns);
  }

  // As a with-block ends: leaving by an exception with a state loop still
  // running keeps the recorder open until the interpreter's exit (said on
  // standard error) rather than hide the exception.
  void exit(const py::object& type) {
    if (!recorder_ || finish()) return;
    if (type.is_none()) throw std::runtime_error(kStateLoopRuns);
    defer();
  }

  sdk::RecorderStats stats() const { return recorder_ ? recorder_->stats() : final_; }
  bool closed() const { return !recorder_; }
  const py::str& path() const { return path_; }

  // At the interpreter's exit, after the state loops have stopped.
  static void closeDeferred() {
    std::vector<Deferred> pending;
    pending.swap(deferred);
    for (Deferred& d : pending) {
      auto& endpoint = d.endpoint.cast<Endpoint&>();
      py::gil_scoped_release release;
      const std::scoped_lock lock(endpoint.sendCall, endpoint.recvCall, endpoint.packets);
      d.recorder.reset();
    }
  }

 private:
  static constexpr const char* kStateLoopRuns =
      "Recorder.close: a state loop runs on the recorded endpoint; shut it down first";

  void refuseClosed(const char* call) const {
    if (!recorder_) throw py::value_error(std::string("Recorder.") + call + ": closed");
  }

  // Writes what is left and closes the file, unless a state loop runs on
  // the endpoint (false). GIL held; released for the wait and the writes.
  // Other Python threads see the recorder closed from the start.
  bool finish() {
    final_ = recorder_->stats();
    sdk::RecorderStats last = final_;
    std::unique_ptr<sdk::Recorder> closing = std::move(recorder_);
    Endpoint* const endpoint = endpoint_ ? &endpoint_.cast<Endpoint&>() : nullptr;
    {
      py::gil_scoped_release release;
      if (endpoint == nullptr) {
        last = closing->stats();
        closing.reset();
      } else {
        const std::scoped_lock lock(endpoint->sendCall, endpoint->recvCall, endpoint->packets);
        if (!endpoint->stateLoopOwns) {
          last = closing->stats();
          closing.reset();  // detaches, writes the rest, closes
        }
      }
    }
    if (closing) {
      recorder_ = std::move(closing);
      return false;
    }
    final_ = last;
    endpoint_ = py::object();
    return true;
  }

  void defer() {
    std::fprintf(stderr,
                 "kalvent_legged_sdk: Recorder %s: a state loop still runs on its endpoint; the "
                 "recording is closed at the interpreter's exit\n",
                 std::string(path_).c_str());
    final_ = recorder_->stats();
    deferred.push_back({std::move(recorder_), std::move(endpoint_)});
  }

  py::str path_;
  std::unique_ptr<sdk::Recorder> recorder_;  // null once closed
  py::object endpoint_;                      // the UDP recorded, until closed
  sdk::RecorderStats final_{};               // the figures when it closed
};

// RecorderStats' figures: the properties and the repr list them in this order.
struct StatsFigure {
  const char* name;
  uint64_t sdk::RecorderStats::*member;
  const char* doc;
};
using Stats = sdk::RecorderStats;
const StatsFigure statsFigures[] = {
    {"commandsRecorded", &Stats::commandsRecorded, "Packets Send sent, taken into the recorder."},
    {"statesRecorded", &Stats::statesRecorded, "Packets Recv accepted, taken into the recorder."},
    {"commandsDropped", &Stats::commandsDropped,
     "Sent packets lost because the writer fell behind."},
    {"statesDropped", &Stats::statesDropped,
     "Accepted packets lost because the writer fell behind."},
    {"eventsWritten", &Stats::eventsWritten, "Events in the file, link-health records included."},
    {"eventsUnwritten", &Stats::eventsUnwritten,
     "Events lost to a failed write (a full disk, say)."},
};

void bindRecorderStats(py::module_& m) {
  py::class_<Stats> stats(m, "RecorderStats", "What a Recorder has seen so far.");
  for (const StatsFigure& figure : statsFigures) {
    stats.def_readonly(figure.name, figure.member, figure.doc);
  }
  stats.def("__repr__", [](const Stats& s) {
    std::string text = "RecorderStats(";
    for (const StatsFigure& figure : statsFigures) {
      if (&figure != statsFigures) text += ", ";
      text += std::string(figure.name) + "=" + std::to_string(s.*figure.member);
    }
    return text + ")";
  });
}

}  // namespace

void bindRecorder(py::module_& m) {
  bindRecorderStats(m);

  py::class_<PythonRecorder>(
      m, "Recorder",
      "Records every command an endpoint sends and every state it accepts, with their\n"
      "CLOCK_MONOTONIC times, and the link's health once a second, into an LCM event log\n"
      "(kalvent_log reads it, kalvent_recording loads it into numpy).\n\n"
      "Send and Recv copy each packet into a ring in C++ without waiting; the recorder's\n"
      "thread writes the file. Packets that find the ring full (a slow disk) are dropped\n"
      "and counted in stats(). A failed write is reported once on standard error and the\n"
      "program goes on.\n\n"
      "Use it as a context manager, or close() it, once the loops have stopped:\n"
      "    with Recorder('stand.lcmlog') as recorder:\n"
      "        recorder.attach(udp)\n"
      "        ... run the loops, stop them ...\n"
      "The recorder keeps its endpoint alive until it is closed.")
      .def(py::init<const py::object&, std::size_t>(), py::arg("path"),
           py::arg("slotsPerDirection") = sdk::Recorder::kDefaultSlots,
           "Creates (or empties) the file at `path` (str, bytes or os.PathLike) and starts\n"
           "the writer thread; OSError (errno, file name) when it cannot be created.\n"
           "`slotsPerDirection`: packets per direction that may wait for the writer.")
      .def_readonly_static("DEFAULT_SLOTS", &sdk::Recorder::kDefaultSlots,
                           "Packets per direction that may wait for the writer: 8 s at 1 kHz.")
      .def("attach", &PythonRecorder::attach, py::arg("target"),
           "Starts recording a UDP endpoint, or a LowStateLoop's or HighStateLoop's\n"
           "endpoint; before or while its loops run. Its packets must be of the low level\n"
           "(610 out / 771 in) or the high level (143 / 256): ValueError otherwise.\n"
           "RuntimeError for a second attach, or an endpoint another recorder records.\n"
           "Call switchLevel before attaching, not after.")
      .def("stats", &PythonRecorder::stats,
           "The figures so far, from any thread; after close(), those of the moment it\n"
           "closed (eventsWritten then leaves out the last records written as it closed).")
      .def("close", &PythonRecorder::close,
           "Detaches from the endpoint, writes the records still queued and a last\n"
           "link-health record, and closes the file; Send and Recv on the endpoint wait\n"
           "meanwhile. RuntimeError, the recorder left open, while a state loop runs on the\n"
           "endpoint: shut it down first. Closing again does nothing.")
      .def_property_readonly("closed", &PythonRecorder::closed)
      .def_property_readonly("path", &PythonRecorder::path, "The file, as given.")
      .def("__enter__", [](py::object self) { return self; })
      .def(
          "__exit__",
          [](PythonRecorder& self, const py::object& type, const py::object&, const py::object&) {
            self.exit(type);
            return false;
          },
          "close(); leaving by an exception while a state loop still runs keeps the\n"
          "recording open until the interpreter's exit instead of raising.");

  // Registered before the state loops' own exit call, so run after it: the
  // loops have stopped when the deferred recorders close.
  py::module_::import("atexit").attr("register")(
      py::cpp_function([] { PythonRecorder::closeDeferred(); }));
}

}  // namespace kalvent_python
