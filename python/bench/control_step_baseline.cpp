// The benchmark's C++ side: the same control step as the Python one, on a
// C++ loop, timed the same way, so that one run measures both.
#include <kalvent_legged_sdk.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <time.h>

#include <boost/bind/bind.hpp>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "wire.h"

namespace py = pybind11;
namespace sdk = KALVENT_LEGGED_SDK;

namespace {

const int kJoints = sdk::RL_2 + 1;

int64_t monotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

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
    udp_.InitCmdData(cmd_);
    udp_.SetSend(cmd_);
  }

  // Runs the loops for `seconds` at `period`. Returns, on CLOCK_MONOTONIC in
  // ns, the time just before the control loop started, and the start and
  // end of each step.
  std::tuple<int64_t, std::vector<int64_t>, std::vector<int64_t>> run(double seconds,
                                                                      float period) {
    starts_.clear();
    ends_.clear();
    const size_t expected = static_cast<size_t>(seconds / period) + 16;
    starts_.reserve(expected);
    ends_.reserve(expected);
    int64_t started = 0;
    {
      py::gil_scoped_release release;
      sdk::LoopFunc send("cpp_send", period, boost::bind(&sdk::UDP::Send, &udp_));
      sdk::LoopFunc recv("cpp_recv", period, boost::bind(&sdk::UDP::Recv, &udp_));
      sdk::LoopFunc control("cpp_control", period, boost::bind(&Controller::step, this));
      send.start();
      recv.start();
      started = monotonicNs();
      control.start();
      std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }
    return {started, starts_, ends_};
  }

 private:
  void step() {
    if (starts_.size() == starts_.capacity()) return;
    starts_.push_back(monotonicNs());
    udp_.GetRecv(state_);
    for (int j = 0; j < kJoints; ++j) {
      const float q = state_.motorState[j].q;
      const float dq = state_.motorState[j].dq;
      cmd_.motorCmd[j].tau = static_cast<float>(kp_ * (target_[j] - q) - kd_ * dq);
      cmd_.motorCmd[j].Kp = 0;
      cmd_.motorCmd[j].Kd = 0;
    }
    udp_.SetSend(cmd_);
    ends_.push_back(monotonicNs());
  }

  std::string robotIP_;
  std::vector<double> target_;
  double kp_;
  double kd_;
  sdk::UDP udp_;
  sdk::LowCmd cmd_{};
  sdk::LowState state_{};
  std::vector<int64_t> starts_;
  std::vector<int64_t> ends_;
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
