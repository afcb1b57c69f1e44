// How well the simulator's trotting high level follows its commands, on
// simulated time (no socket): per case, the robot stands up, walks at a
// commanded speed for ten seconds, and the report gives the mean speed it
// made beside the command, and the worst tilt and height error on the way.
//
// Run:  walk_report            one line per case, then the table's verdict
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>

#include "controller.h"
#include "kalvent_legged_sdk/comm.h"
#include "physics_model.h"
#include "wire.h"

namespace {

namespace sdk = KALVENT_LEGGED_SDK;
using kalvent_sim::Controller;
using kalvent_sim::TrotController;

const int kRateHz = 500;
const double kStandSeconds = 2.0;  // standing up and settling, walking in place
const double kWalkSeconds = 10.0;
// The robot has not fallen while its tilt and height error stay within these.
const double kTiltLimit = 0.35;    // rad
const double kHeightLimit = 0.04;  // m

struct Case {
  const char* name;
  double forward, side, rotate;  // commanded, m/s, m/s, rad/s
  double tolerance;              // share of the command the mean speed may miss by
  // A restart of the controller this many seconds into the walk (the
  // simulator's robot restarts with it, lying); negative: none.
  double restartAt;
};

struct Walked {
  double speed = 0;        // mean over the walk along the commanded direction: m/s or rad/s
  double tilt = 0;         // worst |roll| or |pitch| while walking, rad
  double heightError = 0;  // worst |height - commanded|, m
};

void command(Controller& c, double forward, double side, double rotate) {
  sdk::HighCmd cmd{};
  cmd.levelFlag = sdk::HIGHLEVEL;
  cmd.mode = 2;
  cmd.forwardSpeed = static_cast<float>(forward);
  cmd.sideSpeed = static_cast<float>(side);
  cmd.rotateSpeed = static_cast<float>(rotate);
  unsigned char packet[sizeof cmd];
  std::memcpy(packet, &cmd, sizeof cmd);
  sdk::stampChecksum(packet, sizeof packet);
  c.receive(packet, sizeof packet);
}

const kalvent_sim::PhysicsModel& physics(const Controller& c) {
  return static_cast<const kalvent_sim::PhysicsModel&>(c.joints());
}

Walked walk(const Case& k) {
  std::optional<Controller> c;
  c.emplace(kalvent_sim::ControllerConfig{});
  auto run = [&](double seconds, double f, double s, double r, Walked* w) {
    for (int i = 0; i < static_cast<int>(seconds * kRateHz); ++i) {
      command(*c, f, s, r);
      c->advance();
      if (!w) continue;
      const auto rpy = c->joints().imu().rpy;
      w->tilt = std::max({w->tilt, std::fabs(rpy[0]), std::fabs(rpy[1])});
      w->heightError = std::max(
          w->heightError, std::fabs(c->joints().trunkHeight() - TrotController::kDefaultHeight));
    }
  };
  Walked w;
  run(kStandSeconds, 0, 0, 0, nullptr);
  double travelled = 0;
  auto progress = [&] {
    const auto p = physics(*c).trunkPosition();
    const double yaw = c->joints().imu().rpy[2];
    const double norm = std::hypot(k.forward, k.side);
    return k.rotate != 0 ? yaw : (p[0] * k.forward + p[1] * k.side) / norm;
  };
  double from = progress();
  double unwrapped = 0;
  const int steps = static_cast<int>(kWalkSeconds * 10);
  for (int i = 0; i < steps; ++i) {
    if (k.restartAt >= 0 && std::fabs(i / 10.0 - k.restartAt) < 1e-9) {
      // The controller restarts, as kalvent_sim's --restart has it: the
      // new one has the robot lying at the start, and stands it up again.
      // The time it stands up is not walking time.
      travelled += unwrapped + progress() - from;
      c.emplace(kalvent_sim::ControllerConfig{});
      run(kStandSeconds, 0, 0, 0, nullptr);
      from = progress();
      unwrapped = 0;
    }
    const double before = progress();
    run(0.1, k.forward, k.side, k.rotate, &w);
    const double step = progress() - before;
    if (k.rotate != 0) unwrapped += std::remainder(step, 2 * M_PI) - step;
  }
  travelled += unwrapped + progress() - from;
  w.speed = travelled / kWalkSeconds;
  return w;
}

}  // namespace

int main() {
  const Case cases[] = {
      {"forward 0.5 m/s", 0.5, 0, 0, 0.10, -1},
      {"side 0.2 m/s", 0, 0.2, 0, 0.15, -1},
      {"rotate 0.5 rad/s", 0, 0, 0.5, 0.10, -1},
      {"forward 1.0 m/s (stretch)", 1.0, 0, 0, 0.10, -1},
      {"forward 0.5 m/s, restart at 4 s", 0.5, 0, 0, 0.10, 4.0},
  };
  bool all = true;
  std::printf("%-34s %9s %9s %8s %9s %11s %s\n", "case", "command", "measured", "error", "tilt_rad",
              "height_m", "verdict");
  for (const Case& k : cases) {
    const Walked w = walk(k);
    const double commanded = k.rotate != 0 ? k.rotate : std::hypot(k.forward, k.side);
    const double error = std::fabs(w.speed - commanded) / commanded;
    const bool ok = error <= k.tolerance && w.tilt < kTiltLimit && w.heightError < kHeightLimit;
    all = all && ok;
    std::printf("%-34s %9.3f %9.3f %7.1f%% %9.3f %11.3f %s (speed within %.0f%%)\n", k.name,
                commanded, w.speed, error * 100, w.tilt, w.heightError, ok ? "met" : "MISSED",
                k.tolerance * 100);
  }
  return all ? 0 : 1;
}
