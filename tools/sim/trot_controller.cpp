#include "trot_controller.h"

#include <algorithm>
#include <cmath>

#include "kalvent_legged_sdk/comm.h"

namespace kalvent_sim {

namespace sdk = KALVENT_LEGGED_SDK;
using sdk::Mat3;
using sdk::Vec3;

namespace {

const double kPi = 3.14159265358979323846;
const double kGravity = 9.81;

// Stand-up: the joints' position loops, as stiff as the stand example's.
const float kStandKp = 200, kStandKd = 5;
// Swing legs: position loops soft enough not to shake the trunk.
const float kSwingKp = 60, kSwingKd = 1.5;
// Body law. Height: N/m and N·s/m per kg; speed: N·s/m per kg; a stand's
// position hold: N/m per kg.
const double kHeightKp = 100, kHeightKd = 12, kHeightKi = 100;
const double kSpeedKd = 6, kSpeedKi = 15;
const double kHoldKp = 20;
// Attitude: N·m/rad and N·m·s/rad, about roll, pitch and yaw.
const Vec3 kAttitudeKp{40, 60, 30};
const Vec3 kAttitudeKd{2.5, 4, 3};
// Integral terms take up the joints' friction and the legs' own weight;
// the attitude's acts while standing.
const Vec3 kAttitudeKi{40, 60, 0};
// Largest integral of the height error, m·s, and of an angle's error, rad·s.
const double kMaxHeightIntegral = 0.01, kMaxAttitudeIntegral = 0.05;
// How fast the walk's speeds follow a change of command: m/s², rad/s².
const double kAcceleration = 1.5, kTurnAcceleration = 3;
// Largest heading error the walk steers back, rad.
const double kMaxYawError = 0.3;
// Raibert placement: m of foot offset per m/s of speed error.
const double kPlacementGain = 0.08;
// Friction coefficient the force split keeps within (the ground's is 0.7).
const double kFriction = 0.5;
// How far a landing foot aims below the ground, m: it lands for sure.
const double kLandingDepth = 0.01;
// The split's regularisation: the smallest force norm wins among the
// near-exact solutions.
const double kRegularisation = 1e-4;

// The trot's diagonal pairs: the first swings in the first half cycle.
bool swingsFirst(int leg) {
  return leg == sdk::FR_ || leg == sdk::RL_;
}

Vec3 add(const Vec3& a, const Vec3& b) {
  return {a[0] + b[0], a[1] + b[1], a[2] + b[2]};
}
Vec3 sub(const Vec3& a, const Vec3& b) {
  return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}
Vec3 scale(const Vec3& a, double s) {
  return {a[0] * s, a[1] * s, a[2] * s};
}
Vec3 mul(const Mat3& m, const Vec3& v) {
  Vec3 r{};
  for (int i = 0; i < 3; ++i) r[i] = m[i][0] * v[0] + m[i][1] * v[1] + m[i][2] * v[2];
  return r;
}
Vec3 mulTransposed(const Mat3& m, const Vec3& v) {
  Vec3 r{};
  for (int i = 0; i < 3; ++i) r[i] = m[0][i] * v[0] + m[1][i] * v[1] + m[2][i] * v[2];
  return r;
}
// a·bᵀ: column j is a times row j of b.
Mat3 mulByTransposed(const Mat3& a, const Mat3& b) {
  Mat3 r{};
  for (int j = 0; j < 3; ++j) {
    const Vec3 column = mul(a, b[j]);
    for (int i = 0; i < 3; ++i) r[i][j] = column[i];
  }
  return r;
}

// Body to world for a unit quaternion w, x, y, z.
Mat3 rotation(const std::array<double, 4>& q) {
  const double w = q[0], x = q[1], y = q[2], z = q[3];
  return {{{1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)},
           {2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)},
           {2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)}}};
}

// Rz(yaw)·Ry(pitch)·Rx(roll).
Mat3 fromRpy(double roll, double pitch, double yaw) {
  const double cr = std::cos(roll), sr = std::sin(roll), cp = std::cos(pitch), sp = std::sin(pitch),
               cy = std::cos(yaw), sy = std::sin(yaw);
  return {{{cy * cp, cy * sp * sr - sy * cr, cy * sp * cr + sy * sr},
           {sy * cp, sy * sp * sr + cy * cr, sy * sp * cr - cy * sr},
           {-sp, cp * sr, cp * cr}}};
}

double smoothstep(double s) {
  s = std::clamp(s, 0.0, 1.0);
  return s * s * (3 - 2 * s);
}

double finite(double v) {
  return std::isfinite(v) ? v : 0.0;
}

// Solves a·x = b in place (Gaussian elimination with partial pivoting).
template <int N>
void solve(std::array<std::array<double, N>, N> a, std::array<double, N>& b) {
  for (int c = 0; c < N; ++c) {
    int pivot = c;
    for (int r = c + 1; r < N; ++r) {
      if (std::fabs(a[r][c]) > std::fabs(a[pivot][c])) pivot = r;
    }
    std::swap(a[c], a[pivot]);
    std::swap(b[c], b[pivot]);
    for (int r = c + 1; r < N; ++r) {
      const double k = a[r][c] / a[c][c];
      for (int j = c; j < N; ++j) a[r][j] -= k * a[c][j];
      b[r] -= k * b[c];
    }
  }
  for (int r = N - 1; r >= 0; --r) {
    for (int j = r + 1; j < N; ++j) b[r] -= a[r][j] * b[j];
    b[r] /= a[r][r];
  }
}

// Splits the wrench (force, moment about the trunk's centre; world frame)
// among the stance feet at `r` (from the trunk's centre, world frame): the
// forces of least norm whose sum and moment make the wrench,
// f = Aᵀ(AAᵀ + λI)⁻¹w.
std::array<Vec3, 4> splitWrench(const Vec3& force, const Vec3& moment, const std::array<Vec3, 4>& r,
                                const std::array<bool, 4>& stance) {
  // A's columns for foot i: identity on top, the cross-product matrix [r]×
  // below. AAᵀ = Σ [I, [r]×ᵀ; [r]×, [r]×[r]×ᵀ].
  std::array<std::array<double, 6>, 6> aat{};
  for (int leg = 0; leg < 4; ++leg) {
    if (!stance[leg]) continue;
    const Vec3& p = r[leg];
    const Mat3 cross{{{0, -p[2], p[1]}, {p[2], 0, -p[0]}, {-p[1], p[0], 0}}};
    for (int i = 0; i < 3; ++i) {
      aat[i][i] += 1;
      for (int j = 0; j < 3; ++j) {
        aat[3 + i][j] += cross[i][j];
        aat[j][3 + i] += cross[i][j];
        for (int k = 0; k < 3; ++k) aat[3 + i][3 + j] += cross[i][k] * cross[j][k];
      }
    }
  }
  for (int i = 0; i < 6; ++i) aat[i][i] += kRegularisation;
  std::array<double, 6> y{force[0], force[1], force[2], moment[0], moment[1], moment[2]};
  solve<6>(aat, y);
  std::array<Vec3, 4> f{};
  for (int leg = 0; leg < 4; ++leg) {
    if (!stance[leg]) continue;
    const Vec3& p = r[leg];
    // Aᵀy for this foot: y_force + [r]×ᵀ y_moment = y_force + y_moment × r.
    const Vec3 m{y[3], y[4], y[5]};
    f[leg] = {y[0] + m[1] * p[2] - m[2] * p[1], y[1] + m[2] * p[0] - m[0] * p[2],
              y[2] + m[0] * p[1] - m[1] * p[0]};
    // A foot only pushes, and within its friction cone.
    f[leg][2] = std::max(0.0, f[leg][2]);
    const double tangential = std::hypot(f[leg][0], f[leg][1]);
    const double limit = kFriction * f[leg][2];
    if (tangential > limit) {
      f[leg][0] *= limit / tangential;
      f[leg][1] *= limit / tangential;
    }
  }
  return f;
}

MotorTarget torqueOnly(double tau) {
  return {10,
          static_cast<float>(sdk::PosStopF),
          static_cast<float>(sdk::VelStopF),
          static_cast<float>(tau),
          0,
          0};
}

MotorTarget position(double q, float kp, float kd) {
  return {10, static_cast<float>(q), 0, 0, kp, kd};
}

}  // namespace

void TrotController::setTarget(const HighTarget& t) {
  target_.mode = t.mode;
  target_.forwardSpeed = std::clamp(finite(t.forwardSpeed), -kMaxForwardSpeed, kMaxForwardSpeed);
  target_.sideSpeed = std::clamp(finite(t.sideSpeed), -kMaxSideSpeed, kMaxSideSpeed);
  target_.rotateSpeed = std::clamp(finite(t.rotateSpeed), -kMaxRotateSpeed, kMaxRotateSpeed);
  target_.bodyHeight = std::clamp(finite(t.bodyHeight), -kMaxHeightOffset, kMaxHeightOffset);
  target_.footRaise = std::clamp(finite(t.footRaise), -kDefaultFootRaise / 2, kDefaultFootRaise);
  target_.roll = std::clamp(finite(t.roll), -kMaxAttitude, kMaxAttitude);
  target_.pitch = std::clamp(finite(t.pitch), -kMaxAttitude, kMaxAttitude);
  target_.yaw = std::clamp(finite(t.yaw), -kMaxAttitude, kMaxAttitude);
}

void TrotController::control(double dt) {
  const bool active = target_.mode == static_cast<uint8_t>(HighMode::Stand) ||
                      target_.mode == static_cast<uint8_t>(HighMode::Walk);
  if (!active) {
    phase_ = Phase::Lying;
  } else if (phase_ == Phase::Lying) {
    phase_ = Phase::StandingUp;
    phaseTime_ = 0;
    for (int leg = 0; leg < 4; ++leg) {
      standFrom_[leg] = kinematics_.footPosition(
          leg, {robot_.q(3 * leg), robot_.q(3 * leg + 1), robot_.q(3 * leg + 2)});
    }
  }
  robot_.setDamping(phase_ == Phase::Lying);
  switch (phase_) {
    case Phase::Lying:
      break;
    case Phase::StandingUp:
      standUp();
      phaseTime_ += dt;
      if (phaseTime_ >= kStandUpSeconds) {
        phase_ = Phase::Balancing;
        const std::array<double, 3> p = robot_.trunkPosition();
        holdPosition_ = {p[0], p[1]};
        yawReference_ = robot_.imu().rpy[2];
        standYaw_ = yawReference_;
        walking_ = false;
        stance_.fill(true);
      }
      break;
    case Phase::Balancing:
      stepGait(dt);
      balance(dt);
      break;
  }
}

HighMode TrotController::modeInForce() const {
  if (phase_ == Phase::Lying) return HighMode::Idle;
  return walking_ ? HighMode::Walk : HighMode::Stand;
}

Vec3 TrotController::nominalFoot(int leg, double height) const {
  const sdk::LegGeometry& g = kinematics_.geometry();
  return {g.hipOffset[leg][0], g.hipOffset[leg][1] + g.sideSign[leg] * g.abductionLength,
          -(height - g.footRadius)};
}

double TrotController::heightTarget() const {
  return kDefaultHeight + target_.bodyHeight;
}

void TrotController::standUp() {
  const double s = smoothstep(phaseTime_ / kStandUpSeconds);
  for (int leg = 0; leg < 4; ++leg) {
    const Vec3 to = nominalFoot(leg, heightTarget());
    const Vec3 foot = add(standFrom_[leg], scale(sub(to, standFrom_[leg]), s));
    Vec3 q{robot_.q(3 * leg), robot_.q(3 * leg + 1), robot_.q(3 * leg + 2)};
    kinematics_.inverseKinematics(leg, foot, q);
    for (int k = 0; k < 3; ++k) robot_.setTarget(3 * leg + k, position(q[k], kStandKp, kStandKd));
  }
}

void TrotController::stepGait(double dt) {
  const bool walk = target_.mode == static_cast<uint8_t>(HighMode::Walk);
  std::array<bool, 4> stance = stance_;
  if (!walking_) {
    if (!walk) return;
    walking_ = true;
    gaitTime_ = 0;
  } else {
    const double half = kGaitPeriod / 2;
    const bool firstHalf = gaitTime_ < half;
    gaitTime_ += dt;
    if (gaitTime_ >= kGaitPeriod) gaitTime_ -= kGaitPeriod;
    // A walk ends when a pair lands: no foot is left in the air.
    if (!walk && firstHalf != (gaitTime_ < half)) {
      walking_ = false;
      stance_.fill(true);
      const std::array<double, 3> p = robot_.trunkPosition();
      holdPosition_ = {p[0], p[1]};
      standYaw_ = robot_.imu().rpy[2];
      return;
    }
  }
  const bool firstHalf = gaitTime_ < kGaitPeriod / 2;
  for (int leg = 0; leg < 4; ++leg) stance[leg] = swingsFirst(leg) != firstHalf;
  const Mat3 r = rotation(robot_.imu().quaternion);
  const std::array<double, 3> p = robot_.trunkPosition();
  for (int leg = 0; leg < 4; ++leg) {
    if (stance_[leg] && !stance[leg]) {
      const Vec3 foot = kinematics_.footPosition(
          leg, {robot_.q(3 * leg), robot_.q(3 * leg + 1), robot_.q(3 * leg + 2)});
      liftOff_[leg] = add(mul(r, foot), {p[0], p[1], p[2]});
    }
  }
  stance_ = stance;
}

void TrotController::balance(double dt) {
  const ImuReading imu = robot_.imu();
  const Mat3 r = rotation(imu.quaternion);
  const std::array<double, 3> pa = robot_.trunkPosition();
  const std::array<double, 3> va = robot_.trunkVelocity();
  const Vec3 p{pa[0], pa[1], pa[2]}, v{va[0], va[1], va[2]};
  const Vec3 omega = mul(r, {imu.gyroscope[0], imu.gyroscope[1], imu.gyroscope[2]});
  const double yaw = imu.rpy[2];
  const double mass = robot_.mass();

  // What the body is asked to do: speeds (world frame) and attitude.
  Vec3 speed{}, turn{};
  double roll = 0, pitch = 0, heading = yaw;
  if (walking_) {
    auto approach = [dt](double& value, double to, double rate) {
      value += std::clamp(to - value, -rate * dt, rate * dt);
    };
    approach(ramped_[0], target_.forwardSpeed, kAcceleration);
    approach(ramped_[1], target_.sideSpeed, kAcceleration);
    approach(ramped_[2], target_.rotateSpeed, kTurnAcceleration);
    speed = {ramped_[0] * std::cos(yaw) - ramped_[1] * std::sin(yaw),
             ramped_[0] * std::sin(yaw) + ramped_[1] * std::cos(yaw), 0};
    turn = {0, 0, ramped_[2]};
    // The heading follows the command itself: it catches up on the ramp.
    yawReference_ += target_.rotateSpeed * dt;
    yawReference_ =
        yaw + std::clamp(std::remainder(yawReference_ - yaw, 2 * kPi), -kMaxYawError, kMaxYawError);
    heading = yawReference_;
  } else {
    ramped_ = {0, 0, 0};
    roll = target_.roll;
    pitch = target_.pitch;
    heading = standYaw_ + target_.yaw;
    yawReference_ = yaw;
  }

  heightIntegral_ = std::clamp(heightIntegral_ + (heightTarget() - p[2]) * dt, -kMaxHeightIntegral,
                               kMaxHeightIntegral);
  // The speed error's integral, kept in the heading's frame so that it
  // turns with the body, takes up the legs' steady drag.
  const double c = std::cos(yaw), sn = std::sin(yaw);
  if (walking_) {
    const Vec3 e = sub(speed, v);
    speedIntegral_[0] += (c * e[0] + sn * e[1]) * dt;
    speedIntegral_[1] += (-sn * e[0] + c * e[1]) * dt;
  } else {
    speedIntegral_ = {0, 0};
  }
  const double ix = c * speedIntegral_[0] - sn * speedIntegral_[1];
  const double iy = sn * speedIntegral_[0] + c * speedIntegral_[1];
  Vec3 force{mass * (kSpeedKd * (speed[0] - v[0]) + kSpeedKi * ix),
             mass * (kSpeedKd * (speed[1] - v[1]) + kSpeedKi * iy),
             mass * (kGravity + kHeightKp * (heightTarget() - p[2]) - kHeightKd * v[2] +
                     kHeightKi * heightIntegral_)};
  if (!walking_) {
    force[0] += mass * kHoldKp * (holdPosition_[0] - p[0]);
    force[1] += mass * kHoldKp * (holdPosition_[1] - p[1]);
  }
  // The attitude error as a rotation vector, world frame (small angles).
  const Mat3 error = mulByTransposed(fromRpy(roll, pitch, heading), r);
  const Vec3 errorWorld{(error[2][1] - error[1][2]) / 2, (error[0][2] - error[2][0]) / 2,
                        (error[1][0] - error[0][1]) / 2};
  const Vec3 errorBody = mulTransposed(r, errorWorld);
  const Vec3 rateErrorBody = mulTransposed(r, sub(turn, omega));
  Vec3 momentBody{};
  for (int i = 0; i < 3; ++i) {
    // Standing only: a trot's rocking would wind it up.
    attitudeIntegral_[i] = walking_ ? 0
                                    : std::clamp(attitudeIntegral_[i] + errorBody[i] * dt,
                                                 -kMaxAttitudeIntegral, kMaxAttitudeIntegral);
    momentBody[i] = kAttitudeKp[i] * errorBody[i] + kAttitudeKd[i] * rateErrorBody[i] +
                    kAttitudeKi[i] * attitudeIntegral_[i];
  }
  const Vec3 moment = mul(r, momentBody);

  std::array<Vec3, 4> q{}, feet{};
  for (int leg = 0; leg < 4; ++leg) {
    q[leg] = {robot_.q(3 * leg), robot_.q(3 * leg + 1), robot_.q(3 * leg + 2)};
    feet[leg] = mul(r, kinematics_.footPosition(leg, q[leg]));
  }
  const std::array<Vec3, 4> f = splitWrench(force, moment, feet, stance_);

  const double swingTime = kGaitPeriod / 2;
  const double progress = std::fmod(gaitTime_, swingTime) / swingTime;
  const double raise = kDefaultFootRaise + target_.footRaise;
  const sdk::LegGeometry& g = kinematics_.geometry();
  for (int leg = 0; leg < 4; ++leg) {
    if (stance_[leg]) {
      // The foot pushes the ground with the opposite of the force it gives
      // the body.
      const Vec3 onGround = mulTransposed(r, scale(f[leg], -1));
      const Vec3 tau = kinematics_.jointTorques(leg, q[leg], onGround);
      for (int k = 0; k < 3; ++k) robot_.setTarget(3 * leg + k, torqueOnly(tau[k]));
      continue;
    }
    // Raibert placement: where the hip will be at landing, plus half a
    // stance's travel at the commanded speed, plus the speed error.
    const Vec3 hipBody = nominalFoot(leg, 0);
    const Vec3 hip = add(p, mul(r, {hipBody[0], hipBody[1], 0}));
    const Vec3 rel = sub(hip, p);
    const Vec3 hipSpeed{speed[0] - turn[2] * rel[1], speed[1] + turn[2] * rel[0], 0};
    const double remaining = (1 - progress) * swingTime;
    Vec3 landing{};
    for (int i = 0; i < 2; ++i) {
      landing[i] = hip[i] + v[i] * remaining + hipSpeed[i] * swingTime / 2 +
                   kPlacementGain * (v[i] - speed[i]);
    }
    const double s = smoothstep(progress);
    Vec3 foot{liftOff_[leg][0] + (landing[0] - liftOff_[leg][0]) * s,
              liftOff_[leg][1] + (landing[1] - liftOff_[leg][1]) * s,
              g.footRadius + raise * std::sin(kPi * progress) - kLandingDepth * progress};
    const Vec3 footBody = mulTransposed(r, sub(foot, p));
    Vec3 qd = q[leg];
    kinematics_.inverseKinematics(leg, footBody, qd);
    for (int k = 0; k < 3; ++k) robot_.setTarget(3 * leg + k, position(qd[k], kSwingKp, kSwingKd));
  }
}

}  // namespace kalvent_sim
