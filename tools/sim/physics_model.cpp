#include "physics_model.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "joint_model.h"

namespace kalvent_sim {

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

// Simulated time the robot is given to settle on the ground at start, s.
const double kSettleSeconds = 1.0;
// The legs folded and splayed sideways, hip outwards by this much, rad, so
// that they lie beside the belly instead of propping the trunk up on the
// calves' stops.
const double kLyingSplay = 0.7;
// Gap left under the belly when the robot is laid down, m.
const double kClearance = 0.002;
const char* const kLegNames[kLegs] = {"FR", "FL", "RR", "RL"};
const char* const kLinkNames[kFramesPerLeg] = {"hip", "thigh", "calf", "foot"};

int idOf(const mjModel& m, mjtObj type, const std::string& name) {
  const int id = mj_name2id(&m, type, name.c_str());
  if (id < 0) throw std::runtime_error("robot model: no " + name);
  return id;
}

int sensorAt(const mjModel& m, const char* name) {
  return m.sensor_adr[idOf(m, mjOBJ_SENSOR, name)];
}

}  // namespace

PhysicsModel::PhysicsModel(sdk::LeggedType model)
    : model_(loadQuadruped(model)), data_(mj_makeData(model_.get())) {
  const mjModel& m = *model_;
  trunk_ = idOf(m, mjOBJ_BODY, "trunk");
  trunkGeom_ = idOf(m, mjOBJ_GEOM, "trunk");
  for (int leg = 0; leg < kLegs; ++leg) {
    footGeoms_[leg] = idOf(m, mjOBJ_GEOM, std::string(kLegNames[leg]) + "_foot");
    for (int k = 0; k < kFramesPerLeg; ++k) {
      legBodies_[kFramesPerLeg * leg + k] =
          idOf(m, mjOBJ_BODY, std::string(kLegNames[leg]) + "_" + kLinkNames[k]);
    }
  }
  orientationSensor_ = sensorAt(m, "orientation");
  gyroSensor_ = sensorAt(m, "gyroscope");
  accelerometerSensor_ = sensorAt(m, "accelerometer");

  // Laid on its belly with the motors damping, as the controller has them
  // before the first command, the robot settles on the ground.
  std::array<double, kJoints> pose = lyingPose();
  for (int leg = 0; leg < kLegs; ++leg) {
    const bool right = leg == sdk::FR_ || leg == sdk::RR_;
    pose[3 * leg] = right ? -kLyingSplay : kLyingSplay;
  }
  place(bellyHeight() + kClearance, pose);
  setDamping(true);
  advance(kSettleSeconds);
  setDamping(false);
}

void PhysicsModel::place(double height, const std::array<double, kJoints>& q) {
  const mjModel& m = *model_;
  mjData& d = *data_;
  mj_resetData(&m, &d);
  d.qpos[2] = height;
  for (int j = 0; j < kJoints; ++j) {
    const mjtNum* range = m.jnt_range + 2 * jointId(j);
    d.qpos[positionIndex(j)] = std::clamp<double>(q[j], range[0], range[1]);
  }
  mj_forward(&m, &d);
  torque_.fill(0);
  ddq_.fill(0);
  footForce_.fill(0);
}

void PhysicsModel::setTarget(int joint, const MotorTarget& target) {
  targets_[joint] = target;
}

double PhysicsModel::q(int joint) const {
  return data_->qpos[positionIndex(joint)];
}

double PhysicsModel::dq(int joint) const {
  return data_->qvel[velocityIndex(joint)];
}

void PhysicsModel::step(double dt) {
  mjModel& m = *model_;
  mjData& d = *data_;
  m.opt.timestep = dt;
  for (int j = 0; j < kJoints; ++j) d.ctrl[j] = motorLaw(targets_[j], damping_).torque(q(j), dq(j));
  mj_step(&m, &d);
  // The motors' forces, limited to their ranges, and the contacts are those
  // of the state the step started from.
  for (int j = 0; j < kJoints; ++j) torque_[j] = d.actuator_force[j];
  for (int c = 0; c < d.ncon; ++c) {
    const mjContact& contact = d.contact[c];
    for (int leg = 0; leg < kLegs; ++leg) {
      if (contact.geom1 != footGeoms_[leg] && contact.geom2 != footGeoms_[leg]) continue;
      mjtNum force[6];
      mj_contactForce(&m, &d, c, force);
      footImpulse_[leg] += force[0] * dt;  // along the contact normal
    }
  }
}

void PhysicsModel::advance(double seconds) {
  std::array<double, kJoints> dqBefore;
  for (int j = 0; j < kJoints; ++j) dqBefore[j] = dq(j);
  footImpulse_.fill(0);

  const int steps = static_cast<int>(std::ceil(seconds / kMaxStep - 1e-9));
  for (int i = 0; i < steps; ++i) step(seconds / steps);

  for (int j = 0; j < kJoints; ++j) ddq_[j] = (dq(j) - dqBefore[j]) / seconds;
  for (int leg = 0; leg < kLegs; ++leg) footForce_[leg] = footImpulse_[leg] / seconds;
}

ImuReading PhysicsModel::imu() const {
  const mjtNum* sensors = data_->sensordata;
  ImuReading reading;
  const mjtNum* quaternion = sensors + orientationSensor_;
  const double w = quaternion[0], x = quaternion[1], y = quaternion[2], z = quaternion[3];
  reading.quaternion = {w, x, y, z};
  for (int i = 0; i < 3; ++i) {
    reading.gyroscope[i] = sensors[gyroSensor_ + i];
    // The accelerometer feels every force but gravity: at rest it reads +g up.
    reading.accelerometer[i] = sensors[accelerometerSensor_ + i];
  }
  reading.rpy = {std::atan2(2 * (w * x + y * z), 1 - 2 * (x * x + y * y)),
                 std::asin(std::clamp(2 * (w * y - z * x), -1.0, 1.0)),
                 std::atan2(2 * (w * z + x * y), 1 - 2 * (y * y + z * z))};
  return reading;
}

double PhysicsModel::trunkHeight() const {
  return data_->qpos[2];
}

std::array<double, 3> PhysicsModel::trunkPosition() const {
  return {data_->qpos[0], data_->qpos[1], data_->qpos[2]};
}

std::array<double, 3> PhysicsModel::trunkVelocity() const {
  return {data_->qvel[0], data_->qvel[1], data_->qvel[2]};
}

double PhysicsModel::commandedHeight() const {
  const mjModel& m = *model_;
  double sum = 0;
  for (int leg = 0; leg < kLegs; ++leg) {
    mjtNum rotation[4] = {1, 0, 0, 0};
    mjtNum at[3] = {0, 0, 0};
    for (int k = 0; k < kFramesPerLeg; ++k) {
      mjtNum offset[3];
      mju_rotVecQuat(offset, m.body_pos + 3 * legBodies_[kFramesPerLeg * leg + k], rotation);
      mju_addTo3(at, offset);
      if (k == kFramesPerLeg - 1) break;
      const int slot = 3 * leg + k;
      const MotorLaw law = motorLaw(targets_[slot], false);
      mjtNum turn[4], turned[4];
      mju_axisAngle2Quat(turn, m.jnt_axis + 3 * jointId(slot), law.kp > 0 ? law.qDes : q(slot));
      mju_mulQuat(turned, rotation, turn);
      mju_copy4(rotation, turned);
    }
    sum += m.geom_size[3 * footGeoms_[leg]] - at[2];
  }
  return sum / kLegs;
}

double PhysicsModel::mass() const {
  return mj_getTotalmass(model_.get());
}

double PhysicsModel::weight() const {
  return -mass() * model_->opt.gravity[2];
}

double PhysicsModel::bellyHeight() const {
  return model_->geom_size[3 * trunkGeom_ + 2];
}

bool PhysicsModel::linkFrames(LinkFrames* frames) const {
  for (size_t i = 0; i < legBodies_.size(); ++i) {
    const mjtNum* p = data_->xpos + 3 * legBodies_[i];
    (*frames)[i] = {p[0], p[1], p[2]};
  }
  return true;
}

double PhysicsModel::energy() const {
  const mjModel& m = *model_;
  DataPtr now(mj_makeData(&m));
  mj_copyData(now.get(), &m, data_.get());
  mj_forward(&m, now.get());
  double potential = 0;
  for (int b = 1; b < m.nbody; ++b) {
    potential -= m.body_mass[b] * mju_dot3(m.opt.gravity, now->xipos + 3 * b);
  }
  std::vector<mjtNum> momentum(m.nv);
  mj_mulM(&m, now.get(), momentum.data(), now->qvel);  // the mass matrix holds the armature
  return potential + 0.5 * mju_dot(now->qvel, momentum.data(), m.nv);
}

}  // namespace kalvent_sim
