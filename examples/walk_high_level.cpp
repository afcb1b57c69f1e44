// walk_high_level: walks forward, then forward while turning, then stops,
// printing the body position and heading the controller reports.
//
// A high-level program needs no real-time set-up: the controller runs the
// gait, this program only sends speeds (HighCmd) and reads the body state
// (HighState), every 2 ms on three loops.
//
// Run:  walk_high_level [SECONDS]     (default 6)
//
// It talks to the basic controller's address: run it on the robot's network
// or beside kalvent_sim in a private network namespace with that address.
#include <kalvent_legged_sdk.h>

#include <boost/bind/bind.hpp>
#include <chrono>
#include <cstdio>

#include "example_util.h"

using namespace KALVENT_LEGGED_SDK;

namespace {

const char kProgram[] = "walk_high_level";
// Motion mode numbers are the controller's own; 2 asks it to walk.
const uint8_t kWalkMode = 2;
const int kPrintEvery = 250;  // control ticks: half a second

class Walker {
 public:
  explicit Walker(UDP& udp) : udp_(udp) {
    udp_.InitCmdData(cmd_);
    udp_.SetSend(cmd_);
  }

  void Step() {
    udp_.GetRecv(state_);
    const double t =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    cmd_.mode = kWalkMode;
    cmd_.bodyHeight = 0;
    cmd_.forwardSpeed = t < 4 ? 0.4f : 0;  // m/s
    cmd_.sideSpeed = 0;
    cmd_.rotateSpeed = t >= 2 && t < 4 ? 0.8f : 0;  // rad/s, to the left
    udp_.SetSend(cmd_);
    if (++ticks_ % kPrintEvery == 0) Print(t);
  }

  void Print(double t) const {
    std::printf("%s: t=%4.1f s  x=%6.3f m  y=%6.3f m  yaw=%6.3f rad  mode=%d tick=%u\n", kProgram,
                t, state_.forwardPosition, state_.sidePosition, state_.imu.rpy[2], state_.mode,
                state_.tick);
  }

 private:
  UDP& udp_;
  HighCmd cmd_{};
  HighState state_{};
  long ticks_ = 0;
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace

int main(int argc, char** argv) {
  const double seconds = example::setUp(argc, argv, 6);

  UDP udp(HIGHLEVEL);
  const auto recorder = example::startRecording(udp);  // with --record FILE
  Walker walker(udp);

  {
    example::LinkLoops loops(udp, boost::bind(&Walker::Step, &walker));
    example::waitForStop(seconds);
  }  // Leaving the block stops the loops, control first.

  HighState state{};
  udp.GetRecv(state);
  std::printf("%s: summary x=%.3f y=%.3f yaw=%.3f sent=%llu received=%llu checksum_errors=%llu\n",
              kProgram, state.forwardPosition, state.sidePosition, state.imu.rpy[2],
              udp.udpState.SendCount, udp.udpState.RecvCount, udp.udpState.RecvCRCError);
  return udp.udpState.RecvCount > 0 ? 0 : 1;
}
