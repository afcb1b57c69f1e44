// The leg as a chain: hip offset, rotation about x, abduction link along y,
// then a planar two-link arm about y. In the hip-rotated frame the foot sits
// at (x', side·abduction, z') with
//   x' = -thigh·sin q1 - calf·sin(q1 + q2)
//   z' = -thigh·cos q1 - calf·cos(q1 + q2)
// and the body frame adds the hip offset after turning (y, z) by the hip
// angle.
#include "kalvent_legged_sdk/leg_kinematics.h"

#include <cmath>
#include <stdexcept>

namespace KALVENT_LEGGED_SDK {

namespace {

const double kPi = 3.14159265358979323846;
// Rounding allowed at the edge of the reach: a target computed from a
// stretched or fully folded leg still counts as reached.
const double kEdgeRounding = 1e-12;

void checkLeg(int leg) {
  if (leg < 0 || leg > 3) throw std::out_of_range("leg index outside 0..3");
}

}  // namespace

FootKinematics LegKinematics::footKinematics(int leg, const Vec3& q) const {
  checkLeg(leg);
  const LegGeometry& g = geometry_;
  const double s0 = std::sin(q[0]), c0 = std::cos(q[0]);
  const double s1 = std::sin(q[1]), c1 = std::cos(q[1]);
  const double s2 = std::sin(q[2]), c2 = std::cos(q[2]);
  // The knee's absolute angle by the addition theorem: no third sine.
  const double s12 = s1 * c2 + c1 * s2, c12 = c1 * c2 - s1 * s2;

  // The foot in the hip-rotated frame, and its derivatives in the leg's plane.
  const double x = -g.thighLength * s1 - g.calfLength * s12;
  const double y = g.sideSign[leg] * g.abductionLength;
  const double z = -g.thighLength * c1 - g.calfLength * c12;
  const double dxCalf = -g.calfLength * c12;
  const double dzCalf = g.calfLength * s12;

  const Vec3& hip = g.hipOffset[leg];
  FootKinematics k;
  k.position = {hip[0] + x, hip[1] + c0 * y - s0 * z, hip[2] + s0 * y + c0 * z};
  // Thigh: ∂x'/∂q1 = z', ∂z'/∂q1 = -x'; both turned by the hip angle.
  k.jacobian = {{{0, z, dxCalf},
                 {-s0 * y - c0 * z, s0 * x, -s0 * dzCalf},
                 {c0 * y - s0 * z, -c0 * x, c0 * dzCalf}}};
  return k;
}

Vec3 LegKinematics::footPosition(int leg, const Vec3& q) const {
  return footKinematics(leg, q).position;
}

Mat3 LegKinematics::footJacobian(int leg, const Vec3& q) const {
  return footKinematics(leg, q).jacobian;
}

Vec3 LegKinematics::jointTorques(int leg, const Vec3& q, const Vec3& footForce) const {
  const Mat3 j = footJacobian(leg, q);
  Vec3 tau;
  for (int c = 0; c < 3; ++c) {
    tau[c] = j[0][c] * footForce[0] + j[1][c] * footForce[1] + j[2][c] * footForce[2];
  }
  return tau;
}

Vec3 LegKinematics::footVelocity(int leg, const Vec3& q, const Vec3& dq) const {
  const Mat3 j = footJacobian(leg, q);
  Vec3 v;
  for (int r = 0; r < 3; ++r) v[r] = j[r][0] * dq[0] + j[r][1] * dq[1] + j[r][2] * dq[2];
  return v;
}

IkResult LegKinematics::inverseKinematics(int leg, const Vec3& target, Vec3& q) const {
  checkLeg(leg);
  if (!std::isfinite(target[0]) || !std::isfinite(target[1]) || !std::isfinite(target[2])) {
    return IkResult::Invalid;
  }
  const LegGeometry& g = geometry_;
  const Vec3& hip = g.hipOffset[leg];
  const double dx = target[0] - hip[0];
  const double dy = target[1] - hip[1];
  const double dz = target[2] - hip[2];
  bool reached = true;

  // Hip: (dy, dz) is (side·abduction, z') turned by the hip angle, with the
  // foot below the thigh joint (z' <= 0).
  const double y = g.sideSign[leg] * g.abductionLength;
  const double planeSquared = dy * dy + dz * dz - y * y;
  if (planeSquared < -kEdgeRounding) reached = false;
  const double z = -std::sqrt(std::fmax(planeSquared, 0.0));
  double hipAngle = std::atan2(dz, dy) - std::atan2(z, y);
  if (hipAngle > kPi) hipAngle -= 2 * kPi;
  if (hipAngle <= -kPi) hipAngle += 2 * kPi;

  // Knee: the law of cosines in the leg's plane, the knee bent backwards.
  const double x = dx;
  const double l1 = g.thighLength, l2 = g.calfLength;
  double cosKnee = (x * x + z * z - l1 * l1 - l2 * l2) / (2 * l1 * l2);
  if (std::fabs(cosKnee) > 1) {
    reached = reached && std::fabs(cosKnee) <= 1 + kEdgeRounding;
    cosKnee = std::fmax(-1.0, std::fmin(1.0, cosKnee));
  }
  const double knee = -std::acos(cosKnee);

  // Thigh: the foot's direction from the thigh joint, less the angle the
  // bent knee adds to it.
  const double footDirection = std::atan2(-x, -z);
  const double thigh = footDirection - std::atan2(l2 * std::sin(knee), l1 + l2 * std::cos(knee));

  q = {hipAngle, thigh, knee};
  return reached ? IkResult::Reached : IkResult::OutOfReach;
}

}  // namespace KALVENT_LEGGED_SDK
