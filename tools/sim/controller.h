// The simulated robot controller without its socket: takes command packets,
// advances the robot one state period at a time and writes state packets.
// Time is simulated, so tests can drive it packet by packet.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "joint_model.h"
#include "kalvent_legged_sdk/quadruped.h"
#include "low_level_model.h"
#include "trot_controller.h"

namespace kalvent_sim {

// Longest state packet written: a low-level state.
constexpr size_t kMaxStateLength = 771;

// Level the controller runs at, told by the length of the last good command.
enum class Level { None, High, Low };

// What became of one received datagram.
enum class Verdict {
  LowCommand,   // 610 bytes, checksum right: applied
  HighCommand,  // 143 bytes, checksum right: applied
  BadChecksum,  // a command length with a wrong checksum: ignored
  WrongLength,  // any other length: ignored
};

// The body as the kinematic high level of the ideal joints moves it.
struct Body {
  uint8_t mode = 0;         // motion mode, echoed from the command
  float bodyHeight = 0;     // echoed from the command
  double forwardSpeed = 0;  // speeds in force, body frame: m/s, m/s, rad/s
  double sideSpeed = 0;
  double rotateSpeed = 0;
  double x = 0;  // position on the ground since start, m
  double y = 0;
  double yaw = 0;  // heading, rad, within (−π, π]
};

// How the low-level robot is simulated.
enum class ModelKind {
  Ideal,    // twelve independent joints without weight: exact and fast
  Physics,  // the whole robot as rigid bodies under gravity, on the ground
};

struct ControllerConfig {
  KALVENT_LEGGED_SDK::LeggedType model = KALVENT_LEGGED_SDK::LeggedType::Tesmar;
  ModelKind modelKind = ModelKind::Physics;
  int rateHz = 500;  // state periods per second, 1 to 1000
};

class Controller {
 public:
  // Commands older than this stop the motors and the walk (on the physics
  // high level the robot stops walking and stands).
  static constexpr double kCommandTimeout = 0.1;
  // Longest step of the ideal joints, s; each state period is split into
  // equal steps.
  static constexpr double kMaxStep = JointModel::kMaxStep;

  explicit Controller(const ControllerConfig& config);

  // Takes one datagram of `length` bytes (only the first `length` bytes of
  // `data` are read, and none unless the length is a command's).
  Verdict receive(const void* data, size_t length);

  // Advances the robot by one state period.
  void advance();

  // Writes the state packet of the current level into `out` (at least
  // kMaxStateLength bytes) and returns its length; 0 before any good command.
  size_t writeState(unsigned char* out) const;

  Level level() const { return level_; }
  // State periods advanced since start.
  uint64_t periods() const { return periods_; }
  // Simulated seconds since start.
  double time() const { return static_cast<double>(periods_) * period_; }
  // Tick reported in state: simulated milliseconds since start.
  uint32_t tick() const;
  // True while the last good command is older than kCommandTimeout.
  bool commandLost() const;

  // The low-level robot: the joints, the feet and the trunk.
  const LowLevelModel& joints() const { return *joints_; }
  const Body& body() const { return body_; }
  // The trunk's centre on the ground plane, m from where it started: the
  // physics' at any level, the kinematic body's on the ideal joints.
  std::array<double, 2> trunkPlace() const;
  // The speeds the last high-level command asked for (forward, side, m/s;
  // turning, rad/s); NaN at any other level.
  std::array<double, 3> commandedSpeeds() const;

  uint64_t commands() const { return commands_; }
  uint64_t badChecksums() const { return badChecksums_; }
  uint64_t wrongLengths() const { return wrongLengths_; }

 private:
  void applyLow(const void* data);
  void applyHigh(const void* data);
  void writeLow(unsigned char* out) const;
  void writeHigh(unsigned char* out) const;
  void advanceKinematicBody();
  void advanceTrot();

  std::unique_ptr<LowLevelModel> joints_;
  PhysicsModel* physics_;  // joints_ when it is the physics model, else null
  std::unique_ptr<TrotController> trot_;
  HighTarget highTarget_;
  Body body_;
  std::array<double, 3> commandedSpeed_{};
  Level level_ = Level::None;
  double period_;
  uint64_t timeoutPeriods_;
  uint64_t periods_ = 0;
  uint64_t lastCommand_ = 0;
  bool commanded_ = false;
  uint64_t commands_ = 0;
  uint64_t badChecksums_ = 0;
  uint64_t wrongLengths_ = 0;
};

}  // namespace kalvent_sim
