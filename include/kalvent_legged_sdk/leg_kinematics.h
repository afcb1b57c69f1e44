/// @file
/// Leg kinematics: foot position, inverse kinematics, the foot Jacobian,
/// joint torques for a foot force and foot velocity, per leg.
///
/// Frames and units. Everything is in the body (trunk) frame: origin at the
/// trunk's centre, x forward, y left, z up; lengths in m, angles in rad,
/// forces in N, torques in N·m. Legs are numbered as everywhere in the
/// library (FR_ = 0, FL_ = 1, RR_ = 2, RL_ = 3) and a leg's three joints
/// come in motor order: hip (abduction, about x), thigh, calf (both about
/// y). At all-zero angles the leg hangs straight down; a positive hip angle
/// turns the leg towards +y (outwards on a left leg, inwards on a right
/// one), a positive thigh angle swings the knee backwards, and the calf
/// angle is negative when the knee is bent.
///
/// The foot position is the centre of the foot's ball, not its contact
/// point: on flat ground the centre is LegGeometry::footRadius above it.
///
/// A foot force is the force the foot applies ON the ground (its reaction
/// on the foot is the opposite). A leg that carries weight pushes down, so
/// its force has a negative z; jointTorques() gives the motor torques that
/// produce it, Jᵀf.
///
/// Types: plain fixed-size std::array (Vec3, Mat3), no Eigen. No call
/// allocates or locks, so all of them suit a control loop; a
/// LegKinematics object is immutable and may be shared between threads.
#pragma once

#include <array>

namespace KALVENT_LEGGED_SDK {

/// A point, vector, force or the three joint values of one leg (hip, thigh,
/// calf).
using Vec3 = std::array<double, 3>;
/// A 3×3 matrix, row-major: m[row][column].
using Mat3 = std::array<Vec3, 3>;

/// The dimensions of the legs. The default is the simulated robot of
/// kalvent_sim.
struct LegGeometry {
  /// Position of each leg's hip axis (the point of it nearest the thigh
  /// joint) in the body frame, m, per leg index.
  std::array<Vec3, 4> hipOffset{
      {{0.18, -0.05, 0}, {0.18, 0.05, 0}, {-0.18, -0.05, 0}, {-0.18, 0.05, 0}}};
  /// Per leg, +1 for a leg on the left (FL, RL), -1 on the right (FR, RR):
  /// the side the abduction link points to.
  std::array<double, 4> sideSign{-1, 1, -1, 1};
  /// Hip axis to thigh joint along the body's y at zero hip angle, m
  /// (positive; the side comes from sideSign).
  double abductionLength = 0.08;
  /// Thigh joint to knee, m.
  double thighLength = 0.2;
  /// Knee to the foot's centre, m.
  double calfLength = 0.2;
  /// Radius of the foot's ball, m.
  double footRadius = 0.02;
};

/// What inverseKinematics() found.
enum class IkResult : int {
  /// The returned angles put the foot on the target (to rounding).
  Reached = 0,
  /// The target is out of the leg's reach (beyond the stretched leg, or
  /// closer to the hip's axis than the abduction link). The returned angles
  /// point the leg at it, stretched or folded as far as it goes: the foot
  /// ends at the nearest point of the leg's plane it can reach.
  OutOfReach = 1,
  /// A coordinate of the target is not a finite number: the angles are left
  /// unchanged.
  Invalid = 2,
};

/// A leg's foot position and its Jacobian, computed together.
struct FootKinematics {
  Vec3 position;  ///< m, body frame
  Mat3 jacobian;  ///< ∂position/∂q: row = x, y, z; column = hip, thigh, calf
};

/// Kinematics of the four legs of one geometry. Every call taking a leg
/// throws std::out_of_range for a leg index outside 0..3 (before any other
/// work); none allocates otherwise.
class LegKinematics {
 public:
  /// The simulated robot's geometry.
  LegKinematics() = default;
  /// Another robot's geometry, copied.
  explicit LegKinematics(const LegGeometry& geometry) : geometry_(geometry) {}

  /// The geometry in use.
  const LegGeometry& geometry() const { return geometry_; }

  /// Forward kinematics: the foot's centre for joint angles `q`, m.
  Vec3 footPosition(int leg, const Vec3& q) const;

  /// The foot Jacobian at `q`: foot velocity = J·dq.
  Mat3 footJacobian(int leg, const Vec3& q) const;

  /// Position and Jacobian in one pass: the sines and cosines computed once.
  FootKinematics footKinematics(int leg, const Vec3& q) const;

  /// Analytic inverse kinematics: the angles that put the foot's centre at
  /// `target` (m, body frame), written to `q`. Of the solutions it picks the
  /// one with the knee bent backwards (calf angle in [-π, 0]) and the foot
  /// below the thigh joint in the leg's plane (thigh·cos q1 + calf·cos(q1 +
  /// q2) >= 0; for a foot under the hip, the hip angle near zero rather than
  /// near ±π). Within the robots' joint ranges that is the only solution
  /// wherever the foot is below the thigh joint; a pose with the foot above
  /// it (the thigh turned past about 90°) comes back as that other pose,
  /// which reaches the same point. The angles are not clamped to any joint
  /// range; the hip angle lies in (-π, π].
  IkResult inverseKinematics(int leg, const Vec3& target, Vec3& q) const;

  /// Joint torques, N·m, that make the foot apply `footForce` (N, body
  /// frame, the force ON the ground) at `q`: Jᵀ·footForce. Gravity and
  /// inertia of the leg's own links are not included.
  Vec3 jointTorques(int leg, const Vec3& q, const Vec3& footForce) const;

  /// The foot's velocity relative to the trunk, m/s in the body frame, for
  /// joint angles `q` and joint velocities `dq` (rad/s): J·dq.
  Vec3 footVelocity(int leg, const Vec3& q, const Vec3& dq) const;

 private:
  LegGeometry geometry_;
};

}  // namespace KALVENT_LEGGED_SDK
