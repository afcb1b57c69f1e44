#include "controller.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>

#include "kalvent_legged_sdk/comm.h"
#include "physics_model.h"
#include "wire.h"

namespace kalvent_sim {

namespace sdk = KALVENT_LEGGED_SDK;

static_assert(sizeof(sdk::LowState_t) == kMaxStateLength, "longest state packet");
static_assert(sizeof(sdk::HighState) <= kMaxStateLength, "longest state packet");

namespace {

const double kPi = 3.14159265358979323846;
const double kGravity = 9.81;
const int8_t kTemperature = 30;

int16_t saturate16(double v) {
  if (!(v > std::numeric_limits<int16_t>::min())) return std::numeric_limits<int16_t>::min();
  if (v >= std::numeric_limits<int16_t>::max()) return std::numeric_limits<int16_t>::max();
  return static_cast<int16_t>(std::lround(v));
}

// Stores `values` into the array field `offset` bytes into a packed record.
// Indexing such a field would go through a pointer that claims an alignment
// the field does not have, which 32-bit ARM faults on.
template <typename T, size_t N>
void storeAt(void* record, size_t offset, const T (&values)[N]) {
  std::memcpy(static_cast<unsigned char*>(record) + offset, values, sizeof values);
}

double finiteOrZero(float v) {
  return std::isfinite(v) ? v : 0.0;
}

template <size_t N>
void narrow(const std::array<double, N>& from, float (&to)[N]) {
  for (size_t i = 0; i < N; ++i) to[i] = static_cast<float>(from[i]);
}

void fillImu(sdk::IMU& imu, const ImuReading& reading) {
  float quaternion[4], gyroscope[3], accelerometer[3], rpy[3];
  narrow(reading.quaternion, quaternion);
  narrow(reading.gyroscope, gyroscope);
  narrow(reading.accelerometer, accelerometer);
  narrow(reading.rpy, rpy);
  storeAt(&imu, offsetof(sdk::IMU, quaternion), quaternion);
  storeAt(&imu, offsetof(sdk::IMU, gyroscope), gyroscope);
  storeAt(&imu, offsetof(sdk::IMU, accelerometer), accelerometer);
  storeAt(&imu, offsetof(sdk::IMU, rpy), rpy);
  imu.temperature = kTemperature;
}

// A level IMU turned by `yaw` about the vertical.
ImuReading levelImu(double yaw, double yawRate) {
  ImuReading reading;
  reading.quaternion = {std::cos(yaw / 2), 0, 0, std::sin(yaw / 2)};
  reading.gyroscope = {0, 0, yawRate};
  reading.accelerometer = {0, 0, kGravity};
  reading.rpy = {0, 0, yaw};
  return reading;
}

sdk::Cartesian cartesian(const sdk::Vec3& v) {
  return {static_cast<float>(v[0]), static_cast<float>(v[1]), static_cast<float>(v[2])};
}

// The high-level state as the physics measures it: speeds in the frame of
// the heading, odometry from where the robot started, the body height as an
// offset from the default (as commanded), the feet from the kinematics.
void fillPhysicsHigh(sdk::HighState& s, const PhysicsModel& robot) {
  const ImuReading imu = robot.imu();
  fillImu(s.imu, imu);
  const std::array<double, 3> p = robot.trunkPosition();
  const std::array<double, 3> v = robot.trunkVelocity();
  const double yaw = imu.rpy[2];
  s.forwardSpeed = static_cast<float>(v[0] * std::cos(yaw) + v[1] * std::sin(yaw));
  s.sideSpeed = static_cast<float>(-v[0] * std::sin(yaw) + v[1] * std::cos(yaw));
  // The turn rate about the vertical: the world z row of the trunk's
  // rotation times the body-frame gyroscope.
  const double w = imu.quaternion[0], x = imu.quaternion[1], y = imu.quaternion[2],
               z = imu.quaternion[3];
  s.rotateSpeed = static_cast<float>(2 * (x * z - w * y) * imu.gyroscope[0] +
                                     2 * (y * z + w * x) * imu.gyroscope[1] +
                                     (1 - 2 * (x * x + y * y)) * imu.gyroscope[2]);
  s.bodyHeight = static_cast<float>(p[2] - TrotController::kDefaultHeight);
  s.updownSpeed = static_cast<float>(v[2]);
  s.forwardPosition = static_cast<float>(p[0]);
  s.sidePosition = static_cast<float>(p[1]);
  const sdk::LegKinematics kinematics;
  sdk::Cartesian position[kLegs], speed[kLegs];
  int16_t force[kLegs];
  for (int leg = 0; leg < kLegs; ++leg) {
    const sdk::Vec3 q{robot.q(3 * leg), robot.q(3 * leg + 1), robot.q(3 * leg + 2)};
    const sdk::Vec3 dq{robot.dq(3 * leg), robot.dq(3 * leg + 1), robot.dq(3 * leg + 2)};
    position[leg] = cartesian(kinematics.footPosition(leg, q));
    speed[leg] = cartesian(kinematics.footVelocity(leg, q, dq));
    force[leg] = saturate16(robot.footForce(leg));
  }
  storeAt(&s, offsetof(sdk::HighState, footPosition2Body), position);
  storeAt(&s, offsetof(sdk::HighState, footSpeed2Body), speed);
  storeAt(&s, offsetof(sdk::HighState, footForce), force);
  storeAt(&s, offsetof(sdk::HighState, footForceEst), force);
}

std::unique_ptr<LowLevelModel> makeModel(const ControllerConfig& config) {
  if (config.modelKind == ModelKind::Physics) return std::make_unique<PhysicsModel>(config.model);
  return std::make_unique<JointModel>(config.model);
}

}  // namespace

Controller::Controller(const ControllerConfig& config)
    : joints_(makeModel(config)),
      physics_(dynamic_cast<PhysicsModel*>(joints_.get())),
      period_(1.0 / config.rateHz),
      timeoutPeriods_(static_cast<uint64_t>(std::llround(kCommandTimeout * config.rateHz))) {}

Verdict Controller::receive(const void* data, size_t length) {
  if (length != static_cast<size_t>(sdk::LOW_CMD_LENGTH) &&
      length != static_cast<size_t>(sdk::HIGH_CMD_LENGTH)) {
    ++wrongLengths_;
    return Verdict::WrongLength;
  }
  if (!sdk::checksumMatches(data, length)) {
    ++badChecksums_;
    return Verdict::BadChecksum;
  }
  ++commands_;
  commanded_ = true;
  lastCommand_ = periods_;
  if (length == static_cast<size_t>(sdk::LOW_CMD_LENGTH)) {
    applyLow(data);
    level_ = Level::Low;
    return Verdict::LowCommand;
  }
  applyHigh(data);
  level_ = Level::High;
  return Verdict::HighCommand;
}

void Controller::applyLow(const void* data) {
  sdk::LowCmd_t cmd;
  std::memcpy(&cmd, data, sizeof cmd);
  for (int j = 0; j < kJoints; ++j) {
    const sdk::MotorCmd m = sdk::decodeMotorCmd(cmd.motorCmd[j]);
    joints_->setTarget(j, {m.mode, m.q, m.dq, m.tau, m.Kp, m.Kd});
  }
}

void Controller::applyHigh(const void* data) {
  sdk::HighCmd cmd;
  std::memcpy(&cmd, data, sizeof cmd);
  body_.mode = cmd.mode;
  body_.bodyHeight = cmd.bodyHeight;
  commandedSpeed_ = {finiteOrZero(cmd.forwardSpeed), finiteOrZero(cmd.sideSpeed),
                     finiteOrZero(cmd.rotateSpeed)};
  highTarget_.mode = cmd.mode;
  highTarget_.forwardSpeed = cmd.forwardSpeed;
  highTarget_.sideSpeed = cmd.sideSpeed;
  highTarget_.rotateSpeed = cmd.rotateSpeed;
  highTarget_.bodyHeight = cmd.bodyHeight;
  highTarget_.footRaise = cmd.footRaiseHeight;
  highTarget_.roll = cmd.roll;
  highTarget_.pitch = cmd.pitch;
  highTarget_.yaw = cmd.yaw;
}

bool Controller::commandLost() const {
  return !commanded_ || periods_ - lastCommand_ > timeoutPeriods_;
}

void Controller::advance() {
  if (physics_ && level_ == Level::High) {
    advanceTrot();
  } else {
    trot_.reset();
    joints_->setDamping(commandLost() || level_ != Level::Low);
    joints_->advance(period_);
  }
  if (!physics_) advanceKinematicBody();
  ++periods_;
}

void Controller::advanceTrot() {
  // Each switch to the high level starts the controller again: it stands
  // the robot up from whatever pose the low level left it in.
  if (!trot_) trot_ = std::make_unique<TrotController>(*physics_);
  HighTarget target = highTarget_;
  if (commandLost() && target.mode == static_cast<uint8_t>(HighMode::Walk)) {
    target = HighTarget{};
    target.mode = static_cast<uint8_t>(HighMode::Stand);
  }
  trot_->setTarget(target);
  const int steps =
      std::max(1, static_cast<int>(std::lround(period_ / TrotController::kControlPeriod)));
  for (int i = 0; i < steps; ++i) {
    trot_->control(period_ / steps);
    joints_->advance(period_ / steps);
  }
}

void Controller::advanceKinematicBody() {
  const bool walking = !commandLost() && level_ == Level::High;
  body_.forwardSpeed = walking ? commandedSpeed_[0] : 0.0;
  body_.sideSpeed = walking ? commandedSpeed_[1] : 0.0;
  body_.rotateSpeed = walking ? commandedSpeed_[2] : 0.0;
  // Midpoint heading keeps a steady turn on its circle.
  const double heading = body_.yaw + body_.rotateSpeed * period_ / 2;
  body_.x +=
      (body_.forwardSpeed * std::cos(heading) - body_.sideSpeed * std::sin(heading)) * period_;
  body_.y +=
      (body_.forwardSpeed * std::sin(heading) + body_.sideSpeed * std::cos(heading)) * period_;
  body_.yaw = std::remainder(body_.yaw + body_.rotateSpeed * period_, 2 * kPi);
  if (body_.yaw == -kPi) body_.yaw = kPi;
}

std::array<double, 3> Controller::commandedSpeeds() const {
  if (level_ != Level::High) return {NAN, NAN, NAN};
  return commandedSpeed_;
}

std::array<double, 2> Controller::trunkPlace() const {
  if (!physics_) return {body_.x, body_.y};
  const std::array<double, 3> p = physics_->trunkPosition();
  return {p[0], p[1]};
}

uint32_t Controller::tick() const {
  return static_cast<uint32_t>(static_cast<uint64_t>(std::llround(time() * 1000.0)));
}

size_t Controller::writeState(unsigned char* out) const {
  switch (level_) {
    case Level::Low:
      writeLow(out);
      return sdk::LOW_STATE_LENGTH;
    case Level::High:
      writeHigh(out);
      return sdk::HIGH_STATE_LENGTH;
    case Level::None:
      break;
  }
  return 0;
}

void Controller::writeLow(unsigned char* out) const {
  sdk::LowState_t s{};
  s.levelFlag = sdk::LOWLEVEL;
  fillImu(s.imu, joints_->imu());
  for (int j = 0; j < kJoints; ++j) {
    sdk::MotorState_t& m = s.motorState[j];
    m.mode = joints_->target(j).mode;
    m.q = static_cast<float>(joints_->q(j));
    m.dq = static_cast<float>(joints_->dq(j));
    m.ddq = saturate16(joints_->ddq(j));
    m.tauEst = saturate16(joints_->torque(j) * sdk::TAU_WIRE_SCALE);
    m.q_raw = m.q;
    m.dq_raw = m.dq;
    m.ddq_raw = m.ddq;
    m.temperature = kTemperature;
  }
  int16_t force[kLegs];
  for (int leg = 0; leg < kLegs; ++leg) force[leg] = saturate16(joints_->footForce(leg));
  storeAt(&s, offsetof(sdk::LowState_t, footForce), force);
  storeAt(&s, offsetof(sdk::LowState_t, footForceEst), force);
  s.tick = tick();
  std::memcpy(out, &s, sizeof s);
  sdk::stampChecksum(out, sizeof s);
}

void Controller::writeHigh(unsigned char* out) const {
  sdk::HighState s{};
  s.levelFlag = sdk::HIGHLEVEL;
  s.mode = trot_ ? static_cast<uint8_t>(trot_->modeInForce()) : body_.mode;
  if (physics_) {
    fillPhysicsHigh(s, *physics_);
  } else {
    fillImu(s.imu, levelImu(body_.yaw, body_.rotateSpeed));
    s.forwardSpeed = static_cast<float>(body_.forwardSpeed);
    s.sideSpeed = static_cast<float>(body_.sideSpeed);
    s.rotateSpeed = static_cast<float>(body_.rotateSpeed);
    s.bodyHeight = body_.bodyHeight;
    s.updownSpeed = 0.0f;
    s.forwardPosition = static_cast<float>(body_.x);
    s.sidePosition = static_cast<float>(body_.y);
    // The kinematic high level keeps the robot standing on all four feet.
    const int16_t standing = saturate16(kRobotWeight / 4);
    const int16_t force[4] = {standing, standing, standing, standing};
    storeAt(&s, offsetof(sdk::HighState, footForce), force);
    storeAt(&s, offsetof(sdk::HighState, footForceEst), force);
  }
  s.tick = tick();
  std::memcpy(out, &s, sizeof s);
  sdk::stampChecksum(out, sizeof s);
}

}  // namespace kalvent_sim
