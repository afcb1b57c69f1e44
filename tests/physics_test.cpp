// The rigid-body robot: its model as MuJoCo compiles it, one leg swinging
// from a fixed trunk, a passive drop, folding without gains and the feet
// carrying the weight under the stand example's gains. Each case drives the
// model directly on simulated time.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>

#include "example_util.h"
#include "kalvent_legged_sdk.h"
#include "physics_model.h"
#include "robot_model.h"

namespace {

namespace sdk = KALVENT_LEGGED_SDK;
using kalvent_sim::kJoints;
using kalvent_sim::kLegs;
using kalvent_sim::MotorTarget;
using kalvent_sim::PhysicsModel;

const double kPeriod = 0.002;  // the demo's state period, s
const double kGravity = 9.81;

std::array<double, kJoints> standPose() {
  std::array<double, kJoints> q;
  for (int j = 0; j < kJoints; ++j) q[j] = example::kStandPose[j % 3];
  return q;
}

void command(PhysicsModel& m, float kp, float kd) {
  for (int j = 0; j < kJoints; ++j) {
    m.setTarget(j, {10, static_cast<float>(example::kStandPose[j % 3]), 0, 0, kp, kd});
  }
}

double footForceSum(const PhysicsModel& m) {
  double sum = 0;
  for (int leg = 0; leg < kLegs; ++leg) sum += m.footForce(leg);
  return sum;
}

int bodyNamed(const mjModel& m, const char* name) {
  return mj_name2id(&m, mjOBJ_BODY, name);
}

// Body `b`'s inertia tensor about its centre of mass, in the body's frame:
// MuJoCo keeps principal moments in a principal frame of its choosing.
std::array<mjtNum, 9> inertiaTensor(const mjModel& m, int b) {
  std::array<mjtNum, 9> rotation, scaled, tensor;
  mju_quat2Mat(rotation.data(), m.body_iquat + 4 * b);
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) scaled[3 * r + c] = rotation[3 * r + c] * m.body_inertia[3 * b + c];
  }
  mju_mulMatMatT(tensor.data(), scaled.data(), rotation.data(), 3, 3, 3);
  return tensor;
}

TEST(RobotModel, CompilesStrictlyWithPossibleInertias) {
  // No inertia balancing: an impossible inertia must fail to compile.
  ASSERT_EQ(kalvent_sim::quadrupedXml().find("balanceinertia"), std::string::npos);
  for (const auto robot : {sdk::LeggedType::Tesmar, sdk::LeggedType::Pelk}) {
    EXPECT_NO_THROW(kalvent_sim::loadQuadruped(robot));
  }
  const kalvent_sim::ModelPtr model = kalvent_sim::loadQuadruped(sdk::LeggedType::Tesmar);
  const mjModel& m = *model;
  EXPECT_NEAR(mj_getTotalmass(&m), 10.8, 1e-9);
  EXPECT_NEAR(m.body_mass[bodyNamed(m, "trunk")], 6.0, 1e-9);
  for (int b = 1; b < m.nbody; ++b) {
    const mjtNum* i = m.body_inertia + 3 * b;
    for (int axis = 0; axis < 3; ++axis) {
      EXPECT_GE(i[(axis + 1) % 3] + i[(axis + 2) % 3], i[axis])
          << mj_id2name(&m, mjOBJ_BODY, b) << " axis " << axis;
    }
  }
}

// The URDF for other tools, compiled by MuJoCo, has the simulated bodies'
// masses, centres, inertias, joint places and axes, and collision shapes.
TEST(RobotModel, UrdfDescribesTheSimulatedBodies) {
  std::ifstream file(KALVENT_QUADRUPED_URDF);
  std::stringstream text;
  text << file.rdbuf();
  const kalvent_sim::ModelPtr urdfModel = kalvent_sim::compileModel(text.str());
  const kalvent_sim::ModelPtr simModel = kalvent_sim::loadQuadruped(sdk::LeggedType::Tesmar);
  const mjModel& urdf = *urdfModel;
  const mjModel& sim = *simModel;
  ASSERT_EQ(urdf.nbody, sim.nbody);
  auto same = [](const mjtNum* a, const mjtNum* b, int n, const std::string& what) {
    for (int k = 0; k < n; ++k) EXPECT_NEAR(a[k], b[k], 1e-12) << what << " [" << k << "]";
  };
  for (int b = 1; b < sim.nbody; ++b) {
    const std::string name = mj_id2name(&sim, mjOBJ_BODY, b);
    const int u = bodyNamed(urdf, name.c_str());
    ASSERT_GE(u, 0) << name;
    same(&sim.body_mass[b], &urdf.body_mass[u], 1, name + " mass");
    same(sim.body_ipos + 3 * b, urdf.body_ipos + 3 * u, 3, name + " centre of mass");
    same(inertiaTensor(sim, b).data(), inertiaTensor(urdf, u).data(), 9, name + " inertia");
    if (b > 1) same(sim.body_pos + 3 * b, urdf.body_pos + 3 * u, 3, name + " joint origin");
    if (sim.body_jntnum[b] == 1 && sim.jnt_type[sim.body_jntadr[b]] == mjJNT_HINGE) {
      ASSERT_EQ(urdf.body_jntnum[u], 1) << name;
      same(sim.jnt_axis + 3 * sim.body_jntadr[b], urdf.jnt_axis + 3 * urdf.body_jntadr[u], 3,
           name + " axis");
    }
    for (int g = 0; g < sim.ngeom; ++g) {
      if (sim.geom_bodyid[g] != b || sim.geom_contype[g] == 0) continue;
      bool found = false;
      for (int h = 0; h < urdf.ngeom; ++h) {
        if (urdf.geom_bodyid[h] != u || urdf.geom_type[h] != sim.geom_type[g]) continue;
        same(sim.geom_size + 3 * g, urdf.geom_size + 3 * h, 3, name + " collision shape");
        found = true;
      }
      EXPECT_TRUE(found) << name << " has no collision shape in the URDF";
    }
  }
}

// The legs of a trunk held in the air, without contacts: free rigid bodies
// on their joints, no stops.
class FixedTrunk : public ::testing::Test {
 protected:
  FixedTrunk() {
    std::string xml = kalvent_sim::quadrupedXml();
    const std::string freeJoint = "<freejoint name=\"trunk\"/>";
    xml.erase(xml.find(freeJoint), freeJoint.size());
    model = kalvent_sim::compileModel(xml);
    model->opt.disableflags |= mjDSBL_CONTACT;
    data.reset(mj_makeData(model.get()));
  }
  // Motor slot `joint`'s position; the joints are numbered from 0 here.
  double& q(int joint) { return data->qpos[joint]; }
  double energy() {
    mj_forward(model.get(), data.get());
    double potential = 0;
    for (int b = 1; b < model->nbody; ++b) {
      potential += model->body_mass[b] * kGravity * data->xipos[3 * b + 2];
    }
    std::array<mjtNum, kJoints> momentum;
    mj_mulM(model.get(), data.get(), momentum.data(), data->qvel);
    return potential + 0.5 * mju_dot(data->qvel, momentum.data(), kJoints);
  }
  kalvent_sim::ModelPtr model;
  kalvent_sim::DataPtr data;
};

// The front right leg, knee held straight, swings about its thigh joint as
// a compound pendulum with the thigh drive's rotor: from the documented
// masses, centres and inertias of thigh, calf and foot and the armature,
//   I = 0.004 + (0.003 + 0.6·0.03²) + (0.0005 + 0.12·0.3²) + (0.000005 + 0.03·0.4²)
//   m·g·d = 9.81·(0.6·0.03 + 0.12·0.3 + 0.03·0.4),  T = 2π·√(I / m·g·d).
TEST_F(FixedTrunk, LegSwingsWithTheCompoundPendulumsPeriod) {
  const double inertia = 0.004 + (0.003 + 0.6 * 0.03 * 0.03) + (0.0005 + 0.12 * 0.3 * 0.3) +
                         (0.000005 + 0.03 * 0.4 * 0.4);
  const double torquePerRadian = kGravity * (0.6 * 0.03 + 0.12 * 0.3 + 0.03 * 0.4);
  const double expected = 2 * M_PI * std::sqrt(inertia / torquePerRadian);
  for (int dof = 0; dof < model->nv; ++dof) {
    model->dof_frictionloss[dof] = 0;
    model->dof_damping[dof] = 0;
  }
  // Hip and knee held: a rotor this heavy barely turns in a few swings.
  model->dof_armature[0] = model->dof_armature[2] = 1e6;
  const double amplitude = 0.05;  // rad: the period within 0.02 % of the small swing's
  q(1) = amplitude;
  std::array<double, 3> crossings{};
  int found = 0;
  double before = q(1);
  for (int i = 0; i < 20000 && found < 3; ++i) {
    mj_step(model.get(), data.get());
    if (before > 0 && q(1) <= 0) {
      crossings[found++] = data->time - model->opt.timestep * q(1) / (q(1) - before);
    }
    before = q(1);
  }
  ASSERT_EQ(found, 3);
  const double period = (crossings[2] - crossings[0]) / 2;
  EXPECT_NEAR(period, expected, 0.02 * expected) << "expected " << expected << " s";
  RecordProperty("period_s", std::to_string(period));
  RecordProperty("expected_s", std::to_string(expected));
}

// Released from a raised pose, the legs swing against their gearboxes'
// friction: the energy never rises above what it was, but for rounding
// (friction takes 4 J).
TEST_F(FixedTrunk, EnergyNeverGrowsWithTheMotorsOff) {
  for (int leg = 0; leg < kLegs; ++leg) {
    q(3 * leg) = leg % 2 ? 0.4 : -0.4;
    q(3 * leg + 1) = -1.2;
    q(3 * leg + 2) = -1.0;
  }
  const double start = energy();
  double lowest = start;
  double now = start;
  double rise = 0;
  for (int i = 0; i < 2000; ++i) {  // 1 s, at the simulator's step
    mj_step(model.get(), data.get());
    now = energy();
    rise = std::max(rise, now - lowest);
    lowest = std::min(lowest, now);
  }
  EXPECT_LE(rise, 1e-6) << "the energy rose by " << rise << " J";
  RecordProperty("energy_rise_J", std::to_string(rise));
  EXPECT_LT(now, start - 0.5) << "the gearboxes' friction took nothing";
  RecordProperty("energy_lost_J", std::to_string(start - now));
}

// The robot standing on its feet, still.
class Standing : public ::testing::Test {
 protected:
  Standing() : m(sdk::LeggedType::Tesmar) {
    command(m, example::StandMotion::kKp, example::StandMotion::kKd);
    m.place(m.commandedHeight(), standPose());
  }
  PhysicsModel m;
};

TEST(PhysicsModel, PassiveDropComesToRestOnTheBelly) {
  PhysicsModel m(sdk::LeggedType::Tesmar);
  std::array<double, kJoints> folded;
  for (int j = 0; j < kJoints; ++j) folded[j] = m.q(j);
  const double belly = m.bellyHeight();
  m.place(belly + 0.3, folded);
  for (int j = 0; j < kJoints; ++j) m.setTarget(j, MotorTarget{});  // mode 0: no torque
  const double start = m.energy();
  for (int i = 0; i < 1500; ++i) m.advance(kPeriod);
  EXPECT_LT(m.energy(), start - 0.3 * m.mass() * kGravity * 0.9);
  EXPECT_NEAR(m.trunkHeight(), belly, 0.005);
  const double before = m.trunkHeight();
  m.advance(0.2);
  EXPECT_NEAR(m.trunkHeight(), before, 1e-4) << "still moving";
}

TEST_F(Standing, FeetCarryTheWeightUnderTheStandGains) {
  for (int i = 0; i < 1000; ++i) m.advance(kPeriod);
  double sum = 0;
  const int samples = 250;
  for (int i = 0; i < samples; ++i) {
    m.advance(kPeriod);
    sum += footForceSum(m);
  }
  const double weight = m.mass() * kGravity;
  EXPECT_NEAR(sum / samples, weight, 0.01 * weight);
  RecordProperty("foot_force_sum_N", std::to_string(sum / samples));
  const auto imu = m.imu();
  EXPECT_NEAR(imu.accelerometer[2], kGravity, 0.2);
  EXPECT_NEAR(imu.quaternion[0], 1.0, 1e-3);
  EXPECT_NEAR(m.trunkHeight(), m.commandedHeight(), 0.02);
  for (int w = 0; w < mjNWARNING; ++w) {
    EXPECT_EQ(m.data().warning[w].number, 0) << "MuJoCo warning " << w;
  }
}

TEST_F(Standing, LegsFoldUnderGravityWithZeroGainsAndTorque) {
  command(m, 0, 0);
  for (int i = 0; i < 1000; ++i) m.advance(kPeriod);
  EXPECT_LT(m.trunkHeight(), 0.1);
  for (int leg = 0; leg < kLegs; ++leg) {
    EXPECT_LT(m.q(3 * leg + 2), example::kStandPose[2] - 0.5) << "calf of leg " << leg;
  }
}

// A position target that is not a number, passed through the guard as a
// control step would, must not send its joint to an end stop: the hips of a
// standing robot, unloaded sideways, stay where they are.
TEST_F(Standing, NonFinitePositionTargetsAfterTheGuardDriveNoJointToItsStop) {
  sdk::LowCmd cmd{};
  for (int j = 0; j < kJoints; ++j) {
    sdk::MotorCmd& motor = cmd.motorCmd[j];
    motor.mode = 10;
    motor.q = static_cast<float>(example::kStandPose[j % 3]);
    motor.Kp = example::StandMotion::kKp;
    motor.Kd = example::StandMotion::kKd;
  }
  cmd.motorCmd[sdk::FL_0].q = NAN;
  cmd.motorCmd[sdk::RR_0].q = INFINITY;
  cmd.motorCmd[sdk::RL_0].q = -INFINITY;
  sdk::Safety(sdk::LeggedType::Tesmar).PositionLimit(cmd);
  for (int j = 0; j < kJoints; ++j) {
    const sdk::MotorCmd& motor = cmd.motorCmd[j];
    m.setTarget(j, {motor.mode, motor.q, motor.dq, motor.tau, motor.Kp, motor.Kd});
  }
  for (int i = 0; i < 250; ++i) m.advance(kPeriod);
  for (const int hip : {sdk::FL_0, sdk::RR_0, sdk::RL_0}) {
    EXPECT_NEAR(m.q(hip), 0.0, 0.1) << "hip of slot " << hip;
  }
}

}  // namespace
