// The benchmark's C++ side: the same control step as the Python one, on a
// C++ loop that times its calls as the Python LoopFunc does, so that one run
// measures both.
#include <kalvent_legged_sdk.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <boost/bind/bind.hpp>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "call_times.h"
#include "wire.h"

namespace py = pybind11;
namespace sdk = KALVENT_LEGGED_SDK;

namespace {

using kalvent_python::CallTimes;

const int kJoints = sdk::RL_2 + 1;

// A loop that records its calls around the whole callback.
class TimedLoop : public sdk::Loop {
 public:
  TimedLoop(std::string name, float period, sdk::Callback callback, CallTimes& times)
      : sdk::Loop(std::move(name), period, -1), callback_(std::move(callback)), times_(times) {}
  ~TimedLoop() { shutdownBeforeDestruction(); }
  TimedLoop(const TimedLoop&) = delete;
  TimedLoop& operator=(const TimedLoop&) = delete;

  void functionCB() override { times_.time(callback_); }

 private:
  sdk::Callback callback_;
  CallTimes& times_;
};

// A low-level controller endpoint with C++ Send/Recv loops and a C++ PD
// step: GetRecv, torques of the twelve leg joints towards `target`, SetSend.
class Controller {
 public:
  Controller(std::string robotIP, uint16_t robotPort, std::vector<double> target, double kp,
             double kd)
      : robotIP_(std::move(robotIP)),
        target_(std::move(target)),
        kp_(kp),
        kd_(kd),
        udp_(0, robotIP_.c_str(), robotPort, sdk::LOW_CMD_LENGTH, sdk::LOW_STATE_LENGTH) {
    udp_.linkHealth().setWarnings(false);  // idle between blocks, by design
    udp_.InitCmdData(cmd_);
    udp_.SetSend(cmd_);
  }

  // Runs the loops for `seconds` at `period`. Returns, in ns on
  // CLOCK_MONOTONIC, the time just before the control loop started and its
  // calls' (begin, end).
  std::pair<int64_t, std::vector<CallTimes::Call>> run(double seconds, float period) {
    CallTimes times;
    times.reset(static_cast<size_t>(seconds / period) + 16);
    py::gil_scoped_release release;
    sdk::LoopFunc send("cpp_send", period, boost::bind(&sdk::UDP::Send, &udp_));
    sdk::LoopFunc recv("cpp_recv", period, boost::bind(&sdk::UDP::Recv, &udp_));
    TimedLoop control("cpp_control", period, boost::bind(&Controller::step, this), times);
    send.start();
    recv.start();
    const int64_t started = CallTimes::now();
    control.start();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    return {started, times.recorded()};
  }

 private:
  void step() {
    udp_.GetRecv(state_);
    for (int j = 0; j < kJoints; ++j) {
      const float q = state_.motorState[j].q;
      const float dq = state_.motorState[j].dq;
      cmd_.motorCmd[j].tau = static_cast<float>(kp_ * (target_[j] - q) - kd_ * dq);
      cmd_.motorCmd[j].Kp = 0;
      cmd_.motorCmd[j].Kd = 0;
    }
    udp_.SetSend(cmd_);
  }

  std::string robotIP_;
  std::vector<double> target_;
  double kp_;
  double kd_;
  sdk::UDP udp_;
  sdk::LowCmd cmd_{};
  sdk::LowState state_{};
};

}  // namespace

PYBIND11_MODULE(control_step_baseline, m) {
  m.doc() = "The C++ control step that the Python benchmark measures against.";
  py::class_<Controller>(m, "Controller")
      .def(py::init<std::string, uint16_t, std::vector<double>, double, double>(),
           py::arg("robotIP"), py::arg("robotPort"), py::arg("target"), py::arg("kp"),
           py::arg("kd"))
      .def("run", &Controller::run, py::arg("seconds"), py::arg("period"));
}
