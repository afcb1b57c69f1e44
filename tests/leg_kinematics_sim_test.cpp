// The library's leg geometry against the simulated robot: the same numbers
// as the robot's model file, the same foot positions, and motor torques
// that Jᵀf explains when the robot stands still.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>

#include "example_util.h"
#include "kalvent_legged_sdk/leg_kinematics.h"
#include "physics_model.h"
#include "robot_model.h"

namespace {

namespace sdk = KALVENT_LEGGED_SDK;
using kalvent_sim::kFramesPerLeg;
using kalvent_sim::kJoints;
using kalvent_sim::kLegs;
using kalvent_sim::PhysicsModel;
using sdk::Vec3;

const double kGravity = 9.81;
const sdk::LegKinematics kKinematics;
const char* const kLegNames[kLegs] = {"FR", "FL", "RR", "RL"};
// A leg's bodies in the model, from the trunk outwards.
const char* const kLinkNames[kFramesPerLeg] = {"hip", "thigh", "calf", "foot"};

const mjModel& robotModel() {
  static const kalvent_sim::ModelPtr model = kalvent_sim::loadQuadruped(sdk::LeggedType::Tesmar);
  return *model;
}

int bodyOf(int leg, int link) {
  const std::string name = std::string(kLegNames[leg]) + "_" + kLinkNames[link];
  return mj_name2id(&robotModel(), mjOBJ_BODY, name.c_str());
}

Vec3 vec(const mjtNum* v) {
  return {v[0], v[1], v[2]};
}

// The one comparison with the simulator's model file: every joint origin
// and axis of each leg, and the foot's ball.
TEST(LegKinematicsSim, DefaultGeometryIsTheSimulatedRobotsModel) {
  const mjModel& m = robotModel();
  const sdk::LegGeometry& g = kKinematics.geometry();
  for (int leg = 0; leg < kLegs; ++leg) {
    int body[kFramesPerLeg];
    for (int k = 0; k < kFramesPerLeg; ++k) ASSERT_GE(body[k] = bodyOf(leg, k), 0) << leg;
    const double side = g.sideSign[leg] * g.abductionLength;
    EXPECT_EQ(vec(m.body_pos + 3 * body[0]), g.hipOffset[leg]) << "hip of leg " << leg;
    EXPECT_EQ(vec(m.body_pos + 3 * body[1]), (Vec3{0, side, 0})) << "thigh of leg " << leg;
    EXPECT_EQ(vec(m.body_pos + 3 * body[2]), (Vec3{0, 0, -g.thighLength})) << "knee of " << leg;
    EXPECT_EQ(vec(m.body_pos + 3 * body[3]), (Vec3{0, 0, -g.calfLength})) << "foot of " << leg;
    for (int k = 0; k < 3; ++k) {
      const int joint = kalvent_sim::jointId(3 * leg + k);
      EXPECT_EQ(m.jnt_bodyid[joint], body[k]) << leg;
      EXPECT_EQ(vec(m.jnt_pos + 3 * joint), (Vec3{0, 0, 0})) << leg;
      EXPECT_EQ(vec(m.jnt_axis + 3 * joint), (Vec3{k == 0 ? 1.0 : 0.0, k == 0 ? 0.0 : 1.0, 0}))
          << leg;
    }
    const int foot = mj_name2id(&m, mjOBJ_GEOM, (std::string(kLegNames[leg]) + "_foot").c_str());
    EXPECT_EQ(m.geom_size[3 * foot], g.footRadius) << leg;
  }
}

TEST(LegKinematicsSim, FootPositionsAreTheSimulatedRobots) {
  PhysicsModel m(sdk::LeggedType::Tesmar);
  // Every joint away from zero; hips outwards at the front, inwards at the rear.
  const Vec3 legPose[kLegs] = {
      {-0.4, 0.9, -1.6}, {0.4, 0.9, -1.6}, {0.3, -0.2, -0.8}, {-0.3, -0.2, -0.8}};
  std::array<double, kJoints> pose;
  for (int j = 0; j < kJoints; ++j) pose[j] = legPose[j / 3][j % 3];
  m.place(1.0, pose);  // in the air, level
  kalvent_sim::LinkFrames frames;
  ASSERT_TRUE(m.linkFrames(&frames));
  for (int leg = 0; leg < kLegs; ++leg) {
    const Vec3 foot = kKinematics.footPosition(leg, legPose[leg]);
    const Vec3& hipOffset = kKinematics.geometry().hipOffset[leg];
    const kalvent_sim::Point& simHip = frames[kalvent_sim::kFramesPerLeg * leg];
    const kalvent_sim::Point& simFoot = frames[kalvent_sim::kFramesPerLeg * leg + 3];
    EXPECT_NEAR(simFoot.x - simHip.x, foot[0] - hipOffset[0], 1e-9) << "leg " << leg;
    EXPECT_NEAR(simFoot.y - simHip.y, foot[1] - hipOffset[1], 1e-9) << "leg " << leg;
    EXPECT_NEAR(simFoot.z - simHip.z, foot[2] - hipOffset[2], 1e-9) << "leg " << leg;
  }
}

// Motor torques that hold a leg's own links against gravity: each link's
// mass at its centre, a point on the leg whose position the same
// kinematics gives with the lengths cut to reach it.
Vec3 legGravityTorques(int leg, const Vec3& q) {
  const mjModel& m = robotModel();
  const sdk::LegGeometry& g = kKinematics.geometry();
  Vec3 sum{};
  for (int k = 0; k < kFramesPerLeg; ++k) {
    const int body = bodyOf(leg, k);
    const mjtNum* centreOfMass = m.body_ipos + 3 * body;
    sdk::LegGeometry point = g;
    point.abductionLength = k == 0 ? centreOfMass[1] * g.sideSign[leg] : g.abductionLength;
    point.thighLength = k == 0 ? 0 : k == 1 ? -centreOfMass[2] : g.thighLength;
    point.calfLength = k < 2 ? 0 : k == 2 ? -centreOfMass[2] : g.calfLength;
    const Vec3 t =
        sdk::LegKinematics(point).jointTorques(leg, q, {0, 0, m.body_mass[body] * kGravity});
    for (int j = 0; j < 3; ++j) sum[j] += t[j];
  }
  return sum;
}

// Solves Jᵀ·f = tau for f (Cramer's rule).
Vec3 forceFromTorques(const sdk::Mat3& j, const Vec3& tau) {
  auto det = [](const Vec3& a, const Vec3& b, const Vec3& c) {
    return a[0] * (b[1] * c[2] - b[2] * c[1]) - a[1] * (b[0] * c[2] - b[2] * c[0]) +
           a[2] * (b[0] * c[1] - b[1] * c[0]);
  };
  // Rows of Jᵀ are the columns of J; det(Jᵀ) = det(J).
  const double whole = det(j[0], j[1], j[2]);
  Vec3 f;
  for (int r = 0; r < 3; ++r) {
    sdk::Mat3 replaced = j;
    replaced[r] = tau;
    f[r] = det(replaced[0], replaced[1], replaced[2]) / whole;
  }
  return f;
}

TEST(LegKinematicsSim, StandingTorquesAreJacobianTransposeTimesFootForce) {
  PhysicsModel m(sdk::LeggedType::Tesmar);
  std::array<double, kJoints> pose;
  for (int j = 0; j < kJoints; ++j) {
    pose[j] = example::kStandPose[j % 3];
    m.setTarget(j, {10, static_cast<float>(pose[j]), 0, 0, example::StandMotion::kKp,
                    example::StandMotion::kKd});
  }
  m.place(m.commandedHeight(), pose);
  const double period = 0.002;  // s
  for (int i = 0; i < 1000; ++i) m.advance(period);
  // The gearboxes' dry friction holds a still joint with an unknown torque
  // of up to half a newton-metre: a torque dither keeps the joints moving
  // about the pose, so that the friction cancels over whole cycles.
  const double ditherAmplitude = 3;  // N·m
  const int stepsPerCycle = 40, cycles = 20;
  const double step = 0.001;  // s
  std::array<double, kJoints> torque{}, q{};
  std::array<double, kLegs> normal{};
  const int samples = stepsPerCycle * cycles;
  for (int i = 0; i < samples; ++i) {
    const double dither = ditherAmplitude * std::sin(2 * M_PI * (i + 0.5) / stepsPerCycle);
    for (int j = 0; j < kJoints; ++j) {
      m.setTarget(j, {10, static_cast<float>(pose[j]), 0, static_cast<float>(dither),
                      example::StandMotion::kKp, example::StandMotion::kKd});
    }
    m.advance(step);
    for (int j = 0; j < kJoints; ++j) {
      torque[j] += m.torque(j) / samples;
      q[j] += m.q(j) / samples;
    }
    for (int leg = 0; leg < kLegs; ++leg) normal[leg] += m.footForce(leg) / samples;
  }

  // The simulator reports each foot's normal force only; the feet also
  // carry friction. So the torques are turned into the foot force they
  // imply, f = J⁻ᵀ(tau - leg gravity): its vertical part must be the normal
  // force, and the feet's sideways forces must cancel on a robot at rest.
  Vec3 lateral{};
  for (int leg = 0; leg < kLegs; ++leg) {
    const Vec3 legQ{q[3 * leg], q[3 * leg + 1], q[3 * leg + 2]};
    const Vec3 gravity = legGravityTorques(leg, legQ);
    const Vec3 tau{torque[3 * leg] - gravity[0], torque[3 * leg + 1] - gravity[1],
                   torque[3 * leg + 2] - gravity[2]};
    const Vec3 f = forceFromTorques(kKinematics.footJacobian(leg, legQ), tau);
    EXPECT_NEAR(f[2], -normal[leg], 0.03 * normal[leg]) << "leg " << leg;
    lateral[0] += f[0];
    lateral[1] += f[1];
  }
  EXPECT_NEAR(lateral[0], 0, 0.02 * m.weight());
  EXPECT_NEAR(lateral[1], 0, 0.02 * m.weight());
}

}  // namespace
