// Leg kinematics: the documented frame's directions, FK∘IK over the joint
// ranges, the derivatives against finite differences, and the results out
// of reach.
#include "kalvent_legged_sdk/leg_kinematics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "joint_ranges.h"

namespace {

namespace sdk = KALVENT_LEGGED_SDK;
using sdk::IkResult;
using sdk::Vec3;

const sdk::LegKinematics kKinematics;
const sdk::LegGeometry& kGeometry = kKinematics.geometry();

void expectNear(const Vec3& actual, const Vec3& expected, double tolerance, const char* what) {
  for (int i = 0; i < 3; ++i)
    EXPECT_NEAR(actual[i], expected[i], tolerance) << what << " [" << i << "]";
}

Vec3 plus(const Vec3& a, double scale, const Vec3& b) {
  return {a[0] + scale * b[0], a[1] + scale * b[1], a[2] + scale * b[2]};
}

// Per leg, every case of the joint grid in the robot model's ranges.
class EachLeg : public ::testing::TestWithParam<int> {
 protected:
  static constexpr int kSteps = 9;

  template <typename Check>
  void forEachPose(Check check) {
    const auto& ranges = *sdk::jointRangesOf(sdk::LeggedType::Tesmar);
    for (int i = 0; i < kSteps * kSteps * kSteps; ++i) {
      Vec3 q;
      int index = i;
      for (int j = 0; j < 3; ++j, index /= kSteps) {
        const sdk::JointBounds& b = ranges[3 * leg + j];
        q[j] = b.min + (b.max - b.min) * (index % kSteps) / (kSteps - 1);
      }
      check(q);
    }
  }

  const int leg = GetParam();
};

TEST_P(EachLeg, DirectionsOfTheDocumentedFrame) {
  const Vec3& hip = kGeometry.hipOffset[leg];
  const double side = kGeometry.sideSign[leg] * kGeometry.abductionLength;
  const double stretched = kGeometry.thighLength + kGeometry.calfLength;
  // Hanging straight down.
  expectNear(kKinematics.footPosition(leg, {0, 0, 0}), plus(hip, 1, {0, side, -stretched}), 1e-12,
             "zero");
  // Thigh a quarter turn: the stretched leg points backwards.
  expectNear(kKinematics.footPosition(leg, {0, M_PI / 2, 0}), plus(hip, 1, {-stretched, side, 0}),
             1e-12, "thigh");
  // Calf a quarter turn back: the shin points forwards.
  expectNear(kKinematics.footPosition(leg, {0, 0, -M_PI / 2}),
             plus(hip, 1, {kGeometry.calfLength, side, -kGeometry.thighLength}), 1e-12, "calf");
  // Hip a quarter turn: the leg points to +y, the abduction link up or down.
  expectNear(kKinematics.footPosition(leg, {M_PI / 2, 0, 0}), plus(hip, 1, {0, stretched, side}),
             1e-12, "hip");
}

TEST_P(EachLeg, InverseKinematicsUndoesForwardKinematicsOverTheJointRanges) {
  int onBranch = 0;
  forEachPose([&](const Vec3& q) {
    const Vec3 foot = kKinematics.footPosition(leg, q);
    Vec3 solved{};
    ASSERT_EQ(kKinematics.inverseKinematics(leg, foot, solved), IkResult::Reached);
    expectNear(kKinematics.footPosition(leg, solved), foot, 1e-9, "FK(IK(p))");
    // The solver's branch: the foot clearly below the thigh joint in the
    // leg's plane. Elsewhere another pose reaches the same point.
    const double below =
        kGeometry.thighLength * std::cos(q[1]) + kGeometry.calfLength * std::cos(q[1] + q[2]);
    if (below > 0.02) {
      ++onBranch;
      expectNear(solved, q, 1e-7, "IK(FK(q))");
    }
  });
  EXPECT_GT(onBranch, kSteps * kSteps * kSteps / 3);
}

// Central differences of the foot position along a joint direction.
Vec3 slope(int leg, const Vec3& q, const Vec3& direction) {
  const double h = 1e-6;
  const Vec3 ahead = kKinematics.footPosition(leg, plus(q, h, direction));
  const Vec3 behind = kKinematics.footPosition(leg, plus(q, -h, direction));
  return {(ahead[0] - behind[0]) / (2 * h), (ahead[1] - behind[1]) / (2 * h),
          (ahead[2] - behind[2]) / (2 * h)};
}

TEST_P(EachLeg, JacobianVelocityAndTorquesMatchFiniteDifferences) {
  const Vec3 dq{0.7, -1.3, 2.1};     // rad/s
  const Vec3 force{12, -30, -80.5};  // N
  forEachPose([&](const Vec3& q) {
    const sdk::Mat3 jacobian = kKinematics.footJacobian(leg, q);
    const sdk::FootKinematics both = kKinematics.footKinematics(leg, q);
    EXPECT_EQ(both.jacobian, jacobian);
    EXPECT_EQ(both.position, kKinematics.footPosition(leg, q));
    const Vec3 torques = kKinematics.jointTorques(leg, q, force);
    for (int j = 0; j < 3; ++j) {
      Vec3 unit{};
      unit[j] = 1;
      const Vec3 column = slope(leg, q, unit);
      expectNear({jacobian[0][j], jacobian[1][j], jacobian[2][j]}, column, 1e-6, "column");
      // Virtual work: the torque about a joint is the work per radian.
      EXPECT_NEAR(torques[j], force[0] * column[0] + force[1] * column[1] + force[2] * column[2],
                  1e-4);
    }
    expectNear(kKinematics.footVelocity(leg, q, dq), slope(leg, q, dq), 1e-6, "velocity");
  });
}

TEST_P(EachLeg, TargetsOutOfReachAndInvalid) {
  const Vec3& hip = kGeometry.hipOffset[leg];
  const double side = kGeometry.sideSign[leg] * kGeometry.abductionLength;
  const double stretched = kGeometry.thighLength + kGeometry.calfLength;
  Vec3 q{};
  // Beyond the stretched leg, down and forwards: stretched towards it.
  const Vec3 far = plus(hip, 1, {0.3, side, -0.4});
  EXPECT_EQ(kKinematics.inverseKinematics(leg, far, q), IkResult::OutOfReach);
  EXPECT_NEAR(q[2], 0, 1e-9);
  const Vec3 thighJoint = plus(hip, 1, {0, side, 0});
  expectNear(kKinematics.footPosition(leg, q), plus(thighJoint, stretched, {0.6, 0, -0.8}), 1e-9,
             "stretched");
  // The stretched leg's own foot, and the foot on the hip's axis line, are
  // reached in spite of rounding.
  for (const Vec3& edge : {Vec3{0.3, 0.5, 0}, Vec3{-0.7, 1.1, 0}, Vec3{0.2, 0.4, -M_PI}}) {
    EXPECT_EQ(kKinematics.inverseKinematics(leg, kKinematics.footPosition(leg, edge), q),
              IkResult::Reached);
  }
  // Closer to the hip's axis than the abduction link.
  EXPECT_EQ(kKinematics.inverseKinematics(leg, plus(hip, 1, {0, 0, -0.01}), q),
            IkResult::OutOfReach);
  // Not a number: the angles stay as they were.
  const Vec3 before{0.1, 0.2, -0.3};
  q = before;
  for (int axis = 0; axis < 3; ++axis) {
    Vec3 target = far;
    target[axis] = axis == 1 ? INFINITY : NAN;
    EXPECT_EQ(kKinematics.inverseKinematics(leg, target, q), IkResult::Invalid) << axis;
    EXPECT_EQ(q, before);
  }
}

INSTANTIATE_TEST_SUITE_P(Legs, EachLeg, ::testing::Values(sdk::FR_, sdk::FL_, sdk::RR_, sdk::RL_));

TEST(LegKinematics, RefusesALegIndexOutsideTheFour) {
  Vec3 q{};
  for (int leg : {-1, 4}) {
    EXPECT_THROW(kKinematics.footKinematics(leg, q), std::out_of_range);
    EXPECT_THROW(kKinematics.inverseKinematics(leg, {0, 0, -0.3}, q), std::out_of_range);
  }
}

}  // namespace
